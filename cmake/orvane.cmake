# Small helpers shared by the subsystem CMake files.

# Umbrella targets, so the TSan and fuzz flavours build only what they run.
add_custom_target(orvane_thread_tests)
add_custom_target(orvane_fuzz_targets)

# orvane_test(NAME SOURCES src... LIBS lib... [LABELS label...])
# A GoogleTest executable registered with CTest under its own name.
function(orvane_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  target_compile_definitions(${name} PRIVATE ORVANE_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
                                             ORVANE_BINARY_DIR="${PROJECT_BINARY_DIR}")
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT 600)
  if(T_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
    if("threads" IN_LIST T_LABELS)
      add_dependencies(orvane_thread_tests ${name})
    endif()
  endif()
endfunction()

# orvane_fuzz(NAME SOURCES src... LIBS lib...)
# A libFuzzer target; the test runs it for a bounded time over its seed corpus.
function(orvane_fuzz name)
  cmake_parse_arguments(F "" "SECONDS" "SOURCES;LIBS" ${ARGN})
  if(NOT F_SECONDS)
    set(F_SECONDS 20)
  endif()
  add_executable(${name} ${F_SOURCES})
  add_dependencies(orvane_fuzz_targets ${name})
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  set(corpus ${CMAKE_CURRENT_BINARY_DIR}/${name}_corpus)
  add_test(NAME ${name}
           COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=1
                   ${CMAKE_CURRENT_SOURCE_DIR}/run_fuzz.sh $<TARGET_FILE:${name}> ${corpus}
                   ${CMAKE_CURRENT_SOURCE_DIR}/seeds/${name} ${F_SECONDS})
  set_tests_properties(${name} PROPERTIES TIMEOUT 300 LABELS fuzz)
endfunction()
