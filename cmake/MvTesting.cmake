include(GoogleTest)
find_package(GTest REQUIRED)

# Tests built with the current options that carry the `concurrency` label;
# the ThreadSanitizer step of CI builds just this target.
add_custom_target(mv_concurrency_tests)

# Links a test program with its libraries and the common test main, which
# sets each process's environment (see tests/support/test_main.cpp).
function(mv_test_target target libs)
  target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support/test_main.cpp)
  target_link_libraries(${target} PRIVATE ${libs} GTest::gtest GTest::gmock)
  target_compile_definitions(${target} PRIVATE
    MV_TEST_PROJECT_DIR="${PROJECT_SOURCE_DIR}"
    MV_TEST_BINARY_DIR="${CMAKE_CURRENT_BINARY_DIR}"
    MV_TEST_LIB_DIR="${CMAKE_LIBRARY_OUTPUT_DIRECTORY}"
    MV_TEST_SOURCE_DIR="${CMAKE_CURRENT_SOURCE_DIR}")
endfunction()

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

  if(plain)
    add_executable(${name}_tests ${plain} ${ARG_SOURCES})
    mv_test_target(${name}_tests "${ARG_LIBS}")
    gtest_discover_tests(${name}_tests DISCOVERY_TIMEOUT 120 NO_PRETTY_VALUES TRUE
                         PROPERTIES TIMEOUT 300)
  endif()
  if(concurrent)
    add_executable(${name}_concurrency_tests ${concurrent} ${ARG_SOURCES})
    mv_test_target(${name}_concurrency_tests "${ARG_LIBS}")
    gtest_discover_tests(${name}_concurrency_tests DISCOVERY_TIMEOUT 120 NO_PRETTY_VALUES TRUE
      PROPERTIES LABELS concurrency TIMEOUT 300)
    add_dependencies(mv_concurrency_tests ${name}_concurrency_tests)
  endif()
endfunction()
