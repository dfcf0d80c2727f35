# The texts that name MVO's version by hand say the project's version, the one the programs print
# and the packages are named by: each manual page's .TH line, the newest entry of the Debian
# changelog, and the package names the README gives.
# usage: cmake -D VERSION=<project version> -D REPO=<source dir> -P check-version.cmake
set(wrong "")
string(REPLACE "." "\\." v ${VERSION})

file(GLOB pages ${REPO}/man/*.[18])
foreach(page ${pages})
  get_filename_component(name ${page} NAME)
  file(STRINGS ${page} th REGEX "^\\.TH " LIMIT_COUNT 1)
  if(NOT th MATCHES "\"MVO ${v}\"")
    string(APPEND wrong "man/${name}: ${th}\n")
  endif()
endforeach()

file(STRINGS ${REPO}/packaging/debian/changelog entry LIMIT_COUNT 1)
if(NOT entry MATCHES "^mvo \\(${v}\\) ")
  string(APPEND wrong "packaging/debian/changelog: ${entry}\n")
endif()

# Each name must be found, so that a name written another way is not passed unread.
file(READ ${REPO}/README.md readme)
foreach(pattern "mvo_[^_ `]+_amd64\\.deb" "mvo-[^ `]+-win64\\.zip" "mvo-[^ `]+-win64\\.msi")
  string(REGEX MATCHALL "${pattern}" names "${readme}")
  if(NOT names)
    string(APPEND wrong "README.md: no package name like ${pattern}\n")
  endif()
  foreach(n ${names})
    if(NOT n STREQUAL "mvo_${VERSION}_amd64.deb" AND NOT n STREQUAL "mvo-${VERSION}-win64.zip"
       AND NOT n STREQUAL "mvo-${VERSION}-win64.msi")
      string(APPEND wrong "README.md: ${n}\n")
    endif()
  endforeach()
endforeach()

if(wrong)
  message(FATAL_ERROR "not version ${VERSION}:\n${wrong}")
endif()
list(LENGTH pages n)
message(STATUS "version ${VERSION}: ${n} man pages, the changelog and the README agree")
