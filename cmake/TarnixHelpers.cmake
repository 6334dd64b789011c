# tarnix_library(NAME SOURCES ... DEPS ...): a static library of our own code.
function(tarnix_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_compile_options(${name} PRIVATE ${TARNIX_WARNINGS})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
endfunction()

# An executable of our own code that is told where the compiled example
# schema is (TARNIX_EXAMPLE_SCHEMA) and built after it.
function(tarnix_executable name sources deps)
  add_executable(${name} ${sources})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_options(${name} PRIVATE ${TARNIX_WARNINGS})
  target_link_libraries(${name} PRIVATE ${deps})
  target_compile_definitions(${name} PRIVATE TARNIX_EXAMPLE_SCHEMA="${TARNIX_EXAMPLE_SCHEMA}")
  add_dependencies(${name} tarnix_example_schema)
endfunction()

# tarnix_test(NAME SOURCES ... DEPS ... [LABELS ...] [TCMALLOC]): one GoogleTest binary, one
# CTest entry. Tests see the compiled example schema as TARNIX_EXAMPLE_SCHEMA. TCMALLOC links
# the allocator the daemon runs on, for tests that read its heap figures.
function(tarnix_test name)
  if(NOT TARNIX_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "TCMALLOC" "" "SOURCES;DEPS;LABELS" ${ARGN})
  tarnix_executable(${name} "${ARG_SOURCES}"
                    "${ARG_DEPS};GTest::gtest;GTest::gmock;GTest::gtest_main")
  if(ARG_TCMALLOC AND TARNIX_TCMALLOC)
    target_link_libraries(${name} PRIVATE PkgConfig::TCMALLOC)
  endif()
  target_compile_definitions(${name} PRIVATE TARNIX_TEST_DATA_DIR="${CMAKE_CURRENT_BINARY_DIR}")
  add_test(NAME ${name} COMMAND ${name})
  if(NOT ARG_LABELS)
    set(ARG_LABELS unit)
  endif()
  set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT 300)
endfunction()

# tarnix_benchmark(NAME SOURCES ... DEPS ... [TCMALLOC]): a Google Benchmark
# executable, run by hand and not by CTest; nothing when the library is not
# installed or in fuzz builds. TCMALLOC links the allocator the daemon runs on.
function(tarnix_benchmark name)
  if(NOT benchmark_FOUND OR TARNIX_FUZZ)
    return()
  endif()
  cmake_parse_arguments(ARG "TCMALLOC" "" "SOURCES;DEPS" ${ARGN})
  tarnix_executable(${name} "${ARG_SOURCES}" "${ARG_DEPS};benchmark::benchmark")
  if(ARG_TCMALLOC AND TARNIX_TCMALLOC)
    target_link_libraries(${name} PRIVATE PkgConfig::TCMALLOC)
  endif()
endfunction()

# tarnix_fuzzer(NAME SOURCES ... DEPS ...): one libFuzzer binary, built only
# with TARNIX_FUZZ. Fuzzers see the compiled example schema as
# TARNIX_EXAMPLE_SCHEMA. Without TARNIX_FUZZ, when the tests are built, the
# same sources make NAME_replay instead: a plain executable that runs every
# file of fuzz_corpus/NAME/ of the calling folder through the target once,
# a CTest entry with label unit.
function(tarnix_fuzzer name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  if(TARNIX_FUZZ)
    tarnix_executable(${name} "${ARG_SOURCES}" "${ARG_DEPS}")
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    return()
  endif()
  if(NOT TARNIX_BUILD_TESTS)
    return()
  endif()
  set(replay ${name}_replay)
  # FuzzedDataProvider.h comes with clang's runtime headers, not with gcc.
  set(provider_dir)
  foreach(source ${ARG_SOURCES})
    file(STRINGS ${CMAKE_CURRENT_SOURCE_DIR}/${source} uses REGEX "FuzzedDataProvider\\.h")
    if(uses)
      if(NOT TARNIX_FUZZED_DATA_PROVIDER_DIR)
        message(WARNING "${replay} left out: fuzzer/FuzzedDataProvider.h not found "
                        "(Debian libclang-rt-<version>-dev)")
        return()
      endif()
      set(provider_dir ${TARNIX_FUZZED_DATA_PROVIDER_DIR})
    endif()
  endforeach()
  tarnix_executable(${replay} "${ARG_SOURCES};${PROJECT_SOURCE_DIR}/util/fuzz_replay_main.cc"
                    "${ARG_DEPS}")
  if(provider_dir)
    target_include_directories(${replay} SYSTEM PRIVATE ${provider_dir})
  endif()
  add_test(NAME ${replay} COMMAND ${replay} ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_corpus/${name})
  set_tests_properties(${replay} PROPERTIES LABELS unit TIMEOUT 120)
endfunction()

# fuzzer/FuzzedDataProvider.h of clang's runtime headers, for the replay
# executables of gcc builds: copied alone into the build folder, as the rest
# of clang's header folder must not shadow gcc's own headers.
if(NOT TARNIX_FUZZ AND TARNIX_BUILD_TESTS)
  file(GLOB provider_candidates /usr/lib/llvm-*/lib/clang/*/include/fuzzer/FuzzedDataProvider.h)
  if(provider_candidates)
    list(GET provider_candidates 0 provider_header)
    set(TARNIX_FUZZED_DATA_PROVIDER_DIR ${CMAKE_BINARY_DIR}/fuzz_include)
    configure_file(${provider_header}
                   ${TARNIX_FUZZED_DATA_PROVIDER_DIR}/fuzzer/FuzzedDataProvider.h COPYONLY)
  endif()
endif()

# tarnix_fixture_schemas(TARGET): compiles each testdata/*.proto of the calling
# folder into testdata/<name>.pb in its build folder, with the project's
# protos and examples/ on the import path; TARGET builds them all.
function(tarnix_fixture_schemas target)
  file(GLOB fixtures CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/testdata/*.proto)
  set(outputs)
  foreach(f ${fixtures})
    get_filename_component(stem ${f} NAME_WE)
    set(out ${CMAKE_CURRENT_BINARY_DIR}/testdata/${stem}.pb)
    add_custom_command(OUTPUT ${out}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/testdata
      COMMAND protobuf::protoc --proto_path=${CMAKE_CURRENT_SOURCE_DIR}/testdata
        --proto_path=${TARNIX_PROTO_DIR} --proto_path=${PROJECT_SOURCE_DIR}/examples
        --include_imports --descriptor_set_out=${out} ${f}
      DEPENDS ${f} ${TARNIX_PROTO_FILES})
    list(APPEND outputs ${out})
  endforeach()
  add_custom_target(${target} DEPENDS ${outputs})
endfunction()
