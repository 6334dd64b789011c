# tarnix_library(NAME SOURCES ... DEPS ...): a static library of our own code.
function(tarnix_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_compile_options(${name} PRIVATE ${TARNIX_WARNINGS})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
endfunction()

# tarnix_test(NAME SOURCES ... DEPS ... [LABELS ...]): one GoogleTest binary, one CTest entry.
# Tests see the compiled example schema as TARNIX_EXAMPLE_SCHEMA.
function(tarnix_test name)
  if(NOT TARNIX_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_options(${name} PRIVATE ${TARNIX_WARNINGS})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    TARNIX_EXAMPLE_SCHEMA="${TARNIX_EXAMPLE_SCHEMA}"
    TARNIX_TEST_DATA_DIR="${CMAKE_CURRENT_BINARY_DIR}")
  add_dependencies(${name} tarnix_example_schema)
  add_test(NAME ${name} COMMAND ${name})
  if(NOT ARG_LABELS)
    set(ARG_LABELS unit)
  endif()
  set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT 300)
endfunction()

# tarnix_fuzzer(NAME SOURCES ... DEPS ...): one libFuzzer binary, built only
# with TARNIX_FUZZ. Fuzzers see the compiled example schema as
# TARNIX_EXAMPLE_SCHEMA.
function(tarnix_fuzzer name)
  if(NOT TARNIX_FUZZ)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_options(${name} PRIVATE ${TARNIX_WARNINGS})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_compile_definitions(${name} PRIVATE TARNIX_EXAMPLE_SCHEMA="${TARNIX_EXAMPLE_SCHEMA}")
  add_dependencies(${name} tarnix_example_schema)
endfunction()
