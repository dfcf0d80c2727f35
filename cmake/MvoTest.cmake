# mvo_add_test(NAME <name> LABELS <label>... SOURCES <file>... LIBS <lib>...)
# Builds one GoogleTest executable and registers its cases with ctest under the given labels,
# so that `ctest -L unit` (or scenario, process, windows) runs one tier.
function(mvo_add_test)
  cmake_parse_arguments(T "" "NAME" "LABELS;SOURCES;LIBS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  if(CMAKE_CROSSCOMPILING)
    # Cross-built tests run under Wine through the windows tier (tests/CMakeLists.txt).
    set_property(GLOBAL APPEND PROPERTY MVO_WINDOWS_TESTS ${T_NAME})
    return()
  endif()
  gtest_discover_tests(${T_NAME} PROPERTIES LABELS "${T_LABELS}" DISCOVERY_TIMEOUT 60)
endfunction()
