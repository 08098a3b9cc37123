# Where clang and its libFuzzer runtime are present, the normal build also
# builds the fuzz targets (a build of their own under fuzz/, since they need
# another compiler and the sanitizers), and the test fuzz_replay runs their
# seed corpora and kept findings once each.
find_program(TRELVO_CLANG clang)
find_program(TRELVO_CLANGXX clang++)
if(TRELVO_CLANG AND TRELVO_CLANGXX)
  execute_process(COMMAND ${TRELVO_CLANG} -print-file-name=libclang_rt.fuzzer-x86_64.a
                  OUTPUT_VARIABLE fuzz_runtime OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT EXISTS "${fuzz_runtime}")
    execute_process(COMMAND ${TRELVO_CLANG} -print-runtime-dir OUTPUT_VARIABLE runtime_dir
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    set(fuzz_runtime "${runtime_dir}/libclang_rt.fuzzer-x86_64.a")
  endif()
endif()
if(TRELVO_CLANG AND TRELVO_CLANGXX AND EXISTS "${fuzz_runtime}")
  include(ExternalProject)
  set(fuzz_args -DCMAKE_C_COMPILER=${TRELVO_CLANG} -DCMAKE_CXX_COMPILER=${TRELVO_CLANGXX}
                -DCMAKE_BUILD_TYPE=RelWithDebInfo)
  if(CMAKE_CXX_COMPILER_LAUNCHER)
    list(APPEND fuzz_args -DCMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER}
                          -DCMAKE_C_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER})
  endif()
  ExternalProject_Add(fuzz_targets
    SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}
    BINARY_DIR ${CMAKE_BINARY_DIR}/fuzz
    CMAKE_ARGS ${fuzz_args}
    BUILD_ALWAYS ON
    INSTALL_COMMAND "")
  add_test(NAME fuzz_replay COMMAND ${CMAKE_CURRENT_LIST_DIR}/replay ${CMAKE_BINARY_DIR}/fuzz)
else()
  message(STATUS "clang with libFuzzer not found: no fuzz targets, no fuzz_replay test")
endif()
