include(GoogleTest)
find_package(GTest REQUIRED)

# Tests built with the current options that carry the `concurrency` label;
# the ThreadSanitizer step of CI builds just this target.
add_custom_target(mv_concurrency_tests)

# mv_add_test_folder(<name> LIBS <libs...> [SOURCES <extra...>])
#
# Builds the *.cpp of the calling folder into `<name>_tests`. Files named
# *_concurrency_test.cpp go into `<name>_concurrency_tests` instead, whose
# tests carry the CTest label `concurrency`.
function(mv_add_test_folder name)
  cmake_parse_arguments(ARG "" "" "LIBS;SOURCES" ${ARGN})
  file(GLOB all_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  set(plain ${all_sources})
  set(concurrent ${all_sources})
  list(FILTER plain EXCLUDE REGEX "_concurrency_test\\.cpp$")
  list(FILTER concurrent INCLUDE REGEX "_concurrency_test\\.cpp$")

  set(test_env
    "ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1"
    "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp:print_suppressions=0"
    "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1"
    "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1"
    "MORVA_COMMON_APPDATA=${CMAKE_CURRENT_BINARY_DIR}/appdata"
    "MORVA_REGISTRY=${CMAKE_CURRENT_BINARY_DIR}/appdata/registry.reg"
    "MV_TEST_LIB_DIR=${CMAKE_LIBRARY_OUTPUT_DIRECTORY}"
    "MV_TEST_SOURCE_DIR=${CMAKE_CURRENT_SOURCE_DIR}")

  if(plain)
    add_executable(${name}_tests ${plain} ${ARG_SOURCES})
    target_link_libraries(${name}_tests PRIVATE ${ARG_LIBS} GTest::gtest_main GTest::gmock)
    gtest_discover_tests(${name}_tests
      DISCOVERY_TIMEOUT 120
      PROPERTIES ENVIRONMENT "${test_env}" TIMEOUT 300)
  endif()
  if(concurrent)
    add_executable(${name}_concurrency_tests ${concurrent} ${ARG_SOURCES})
    target_link_libraries(${name}_concurrency_tests
      PRIVATE ${ARG_LIBS} GTest::gtest_main GTest::gmock)
    gtest_discover_tests(${name}_concurrency_tests
      DISCOVERY_TIMEOUT 120
      PROPERTIES ENVIRONMENT "${test_env}" LABELS concurrency TIMEOUT 300)
    add_dependencies(mv_concurrency_tests ${name}_concurrency_tests)
  endif()
endfunction()
