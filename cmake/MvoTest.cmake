# mvo_add_test(NAME <name> LABELS <label>... SOURCES <file>... LIBS <lib>...)
# Builds one GoogleTest executable and registers its cases with ctest under the given labels,
# so that `ctest -L unit` (or scenario, process, windows) runs one tier.
function(mvo_add_test)
  cmake_parse_arguments(T "" "NAME" "LABELS;SOURCES;LIBS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  if(CMAKE_CROSSCOMPILING)
    # The Windows build runs each test executable whole under Wine (the emulator of the
    # toolchain file), in the windows tier.
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
    set_tests_properties(${T_NAME} PROPERTIES LABELS "windows" TIMEOUT 900)
    return()
  endif()
  gtest_discover_tests(${T_NAME} PROPERTIES LABELS "${T_LABELS}" DISCOVERY_TIMEOUT 60)
endfunction()
