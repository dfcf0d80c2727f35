# Installation (`cmake --install`) and packages (`cpack`): a Debian package from the Linux build,
# a zip from the Windows build. Included after the targets are defined, so that the operator
# tools (mvo-check, mvo-report) are installed and packed once they exist.
#
#   cpack --config build/release/CPackConfig.cmake -B build/release/package   -> mvo_<v>_<arch>.deb
#   cpack --config build/mingw/CPackConfig.cmake -B build/mingw/package       -> mvo-<v>-win64.zip
#   cmake --build --preset mingw --target msi                                -> mvo-<v>-win64.msi
#
# <v> is the project's version (the top CMakeLists.txt), the one every program prints.
set(MVO_MAINTAINER "MVO developers <mvo-dev@quorindale.example>"
    CACHE STRING "Maintainer of the packages (name <address>)")
set(pkg ${PROJECT_SOURCE_DIR}/packaging)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(mvo_programs mvo-gateway mvo-modem-sim mvo-check mvo-report)

if(WIN32)
  # Everything in one folder, MVO\, meant to be extracted to C:\ (packaging/windows).
  foreach(t ${mvo_programs})
    if(TARGET ${t})
      install(TARGETS ${t} RUNTIME DESTINATION MVO)
    endif()
  endforeach()
  # Text files with CR LF ends, as Notepad of every Windows version shows them: the example
  # site (with the cfg.txt of packaging/windows), the scripts and the text on starting at boot.
  function(mvo_crlf source destination)
    get_filename_component(name ${source} NAME)
    file(READ ${source} text)
    string(REGEX REPLACE "\r?\n" "\r\n" text "${text}")
    file(WRITE ${CMAKE_BINARY_DIR}/crlf/${destination}/${name} "${text}")
    install(FILES ${CMAKE_BINARY_DIR}/crlf/${destination}/${name} DESTINATION ${destination})
  endfunction()
  file(GLOB site_files ${PROJECT_SOURCE_DIR}/examples/site/configuration/*.txt)
  list(FILTER site_files EXCLUDE REGEX "/cfg\\.txt$")
  foreach(f ${site_files} ${pkg}/windows/cfg.txt)
    mvo_crlf(${f} MVO/site/configuration)
  endforeach()
  # The gateway never creates its log folder: an empty one is part of the site.
  install(DIRECTORY DESTINATION MVO/site/log)
  configure_file(${pkg}/windows/START-AT-BOOT.txt ${CMAKE_BINARY_DIR}/START-AT-BOOT.txt @ONLY)
  foreach(f ${CMAKE_BINARY_DIR}/START-AT-BOOT.txt ${pkg}/windows/mvo-start.cmd
            ${pkg}/windows/mvo-stop.cmd ${pkg}/windows/check.cmd ${pkg}/windows/report.cmd)
    mvo_crlf(${f} MVO)
  endforeach()

  # The installer, mvo-<v>-win64.msi (`cmake --build --preset mingw --target msi`, wixl from
  # Debian's msitools), and the program its custom actions run, carried inside it only.
  add_executable(mvo-setup-action ${pkg}/windows/setup_action.cpp)
  target_link_options(mvo-setup-action PRIVATE -municode)
  add_custom_target(msi
    COMMAND bash ${pkg}/windows/build-msi.sh ${CMAKE_BINARY_DIR} ${PROJECT_VERSION}
            ${CMAKE_BINARY_DIR}/package/mvo-${PROJECT_VERSION}-win64.msi
    DEPENDS mvo-gateway mvo-check mvo-report mvo-setup-action VERBATIM)

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME mvo-${PROJECT_VERSION}-win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  set(doc share/doc/mvo)
  foreach(t ${mvo_programs})
    if(TARGET ${t})
      install(TARGETS ${t} RUNTIME DESTINATION bin)
      # Relocations resolved and made read-only at start, as Debian builds its programs.
      target_link_options(${t} PRIVATE -Wl,-z,relro,-z,now)
    endif()
  endforeach()
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/site DESTINATION ${doc}/examples
          PATTERN .keep EXCLUDE)
  install(FILES ${PROJECT_SOURCE_DIR}/examples/demo-scenario.txt DESTINATION ${doc}/examples)
  install(FILES ${pkg}/debian/copyright DESTINATION ${doc})
  install(FILES ${pkg}/systemd/mvo-gateway@.service DESTINATION lib/systemd/system)
  install(FILES ${pkg}/systemd/mvo-modules.conf DESTINATION lib/modules-load.d RENAME mvo.conf)
  install(FILES ${pkg}/systemd/78-mvo-modem.rules.example DESTINATION ${doc}/examples
          RENAME 78-mvo-modem.rules)

  # Manual pages and the changelog, compressed as Debian wants them (gzip -9n: no time stamp).
  set(gz_files)
  macro(mvo_gzip source output destination)
    add_custom_command(OUTPUT ${output}
      COMMAND sh -c "gzip -9n <\"$0\" >\"$1\"" ${source} ${output}
      DEPENDS ${source} VERBATIM)
    list(APPEND gz_files ${output})
    install(FILES ${output} DESTINATION ${destination})
  endmacro()
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/man)
  set(pages mvo-gateway.8 mvo-modem-sim.1)
  foreach(t mvo-check mvo-report)
    if(TARGET ${t} AND EXISTS ${PROJECT_SOURCE_DIR}/man/${t}.1)
      list(APPEND pages ${t}.1)
    endif()
  endforeach()
  foreach(page ${pages})
    string(REGEX MATCH "[0-9]$" section ${page})
    mvo_gzip(${PROJECT_SOURCE_DIR}/man/${page} ${CMAKE_BINARY_DIR}/man/${page}.gz
             share/man/man${section})
  endforeach()
  mvo_gzip(${pkg}/debian/changelog ${CMAKE_BINARY_DIR}/changelog.gz ${doc})
  add_custom_target(mvo_package_files ALL DEPENDS ${gz_files})

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${MVO_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION comm)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The dependencies are what dpkg-shlibdeps finds in the binaries, nothing by hand.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
      ${pkg}/debian/postinst ${pkg}/debian/prerm ${pkg}/debian/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
endif()

set(CPACK_PACKAGE_NAME mvo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "MVO developers")
set(CPACK_PACKAGE_CONTACT "${MVO_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "unattended SMS gateway for field station reports")
set(CPACK_PACKAGE_DESCRIPTION
    "Field stations send status reports by SMS to a GSM modem on a serial port.\n\
mvo-gateway polls the modem, accepts reports from listed stations only, keeps a\n\
CSV log per station, and forwards each report to destination phones as a copy,\n\
a readable sentence or a custom text, by status-code subscription. It brings\n\
the modem up afresh after any failure.\n\
\n\
The package runs one gateway per site directory under /var/lib/mvo as the\n\
systemd service mvo-gateway@SITE, and includes mvo-modem-sim, a GSM modem\n\
simulator on a pseudo-terminal, and an example site.")
set(CPACK_OUTPUT_FILE_PREFIX "")
include(CPack)

# The packages' checks (label `package`): the manual pages, the .deb without installing it, and
# the Windows zip (from build/mingw, made before this build's tests run) under Wine.
if(MVO_TESTS AND NOT WIN32)
  add_test(NAME package.man COMMAND bash ${pkg}/check-man.sh ${PROJECT_SOURCE_DIR}/man)
  # The texts that name the version by hand say the project's: cheap, so in the unit tier.
  add_test(NAME package.version COMMAND ${CMAKE_COMMAND} -D VERSION=${PROJECT_VERSION}
                                        -D REPO=${PROJECT_SOURCE_DIR} -P ${pkg}/check-version.cmake)
  set_tests_properties(package.version PROPERTIES LABELS unit)
  add_test(NAME package.deb COMMAND bash ${pkg}/check-deb.sh ${CMAKE_BINARY_DIR}
                                         ${PROJECT_SOURCE_DIR})
  add_test(NAME package.zip COMMAND bash ${pkg}/check-zip.sh ${PROJECT_SOURCE_DIR}/build/mingw
                                         $<TARGET_FILE:mvo-modem-sim> ${PROJECT_SOURCE_DIR})
  set_tests_properties(package.man package.deb PROPERTIES LABELS package TIMEOUT 600)
  set_tests_properties(package.zip PROPERTIES LABELS "package;windows" TIMEOUT 600
                       SKIP_RETURN_CODE 77 RUN_SERIAL ON)
endif()
