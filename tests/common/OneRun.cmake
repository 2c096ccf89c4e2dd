# Where every Wine process start costs seconds (the emulated machine of
# tools/vm, which runs a start in 2-7 s), a test program runs once with all
# its cases in one process, and the entry of each case reports that case from
# the run's GoogleTest report instead of starting the program again. Where
# 32-bit code runs natively each case keeps a process of its own.
if(TM_TIMEOUT_SCALE GREATER 1)
  set(tm_one_run_default ON)
else()
  set(tm_one_run_default OFF)
endif()
option(TM_TEST_ONE_RUN
       "Run each test program once with all its cases; each case's entry reports from that run"
       ${tm_one_run_default})

# tm_test_one_run(program limit capture case...): the entry `program` runs
# the program (run-program.sh) within `limit` seconds; when `capture` (the
# program reads the debugger output, of which there is one capture per
# machine session) it runs alone, as its cases do with a process each: some
# of them also time what threads do, which a program beside them under
# ctest -j would slow down. The entry sets up the fixture that the cases' entries (made by gtest_add_tests,
# names and all) require. Their command line stays the program's with its
# case filter; the program's emulator, the wrapper in front of it in an
# entry, becomes the reader of the report (case-result.sh), so no entry of a
# case starts the program.
function(tm_test_one_run name limit capture)
  set(results ${CMAKE_CURRENT_BINARY_DIR}/${name}.run)
  add_test(NAME ${name}
           COMMAND sh ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/run-program.sh ${results} ${limit}
                   ${CMAKE_BINARY_DIR}/wine-run $<TARGET_FILE:${name}>)
  math(EXPR ctest_limit "${limit} + 30")
  set_tests_properties(${name} PROPERTIES
    FIXTURES_SETUP ${name}.run TIMEOUT ${ctest_limit} RUN_SERIAL ${capture})
  if(TM_TIMEOUT_SCALE GREATER 1)
    set_property(TEST ${name} APPEND PROPERTY ENVIRONMENT TM_EMULATED=1)
  endif()
  set_target_properties(${name} PROPERTIES
    CROSSCOMPILING_EMULATOR "sh;${CMAKE_CURRENT_FUNCTION_LIST_DIR}/case-result.sh;${results}")
  set_tests_properties(${ARGN} PROPERTIES FIXTURES_REQUIRED ${name}.run TIMEOUT 60 RUN_SERIAL FALSE)
endfunction()
