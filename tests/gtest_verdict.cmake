# Runs a GoogleTest program and passes only on its XML report: the report must exist (a
# program that dies half way writes none, whatever its exit status), every test in it
# must have run, and none may have failed. Also fails on a nonzero exit status.
# usage: cmake -P gtest_verdict.cmake [RUNNER...] PROGRAM
set(command "")
math(EXPR last "${CMAKE_ARGC} - 1")
foreach(i RANGE 3 ${last})
  list(APPEND command "${CMAKE_ARGV${i}}")
endforeach()
# Relative, so that a Windows program under wine writes it in the working folder too.
set(report gtest_report.xml)
file(REMOVE ${report})
execute_process(COMMAND ${command} --gtest_output=xml:${report} RESULT_VARIABLE status)

if(NOT EXISTS ${report})
  message(FATAL_ERROR "FAIL: no GoogleTest report (exit status ${status}): the program stopped before its end")
endif()
file(READ ${report} xml)
if(NOT xml MATCHES "<testsuites tests=\"([0-9]+)\" failures=\"([0-9]+)\" disabled=\"([0-9]+)\" errors=\"([0-9]+)\"")
  message(FATAL_ERROR "FAIL: the GoogleTest report has no summary")
endif()
set(tests ${CMAKE_MATCH_1})
set(failures ${CMAKE_MATCH_2})
set(disabled ${CMAKE_MATCH_3})
set(errors ${CMAKE_MATCH_4})
string(REGEX MATCHALL "<testcase [^>]*result=\"completed\"" completed "${xml}")
list(LENGTH completed ran)
string(REGEX MATCHALL "<failure|<skipped" bad "${xml}")
list(LENGTH bad bad)
if(NOT status EQUAL 0 OR tests EQUAL 0 OR NOT ran EQUAL tests OR NOT failures EQUAL 0
   OR NOT errors EQUAL 0 OR NOT disabled EQUAL 0 OR NOT bad EQUAL 0)
  message(FATAL_ERROR "FAIL: ${ran} of ${tests} tests ran; ${failures} failed, ${errors} errors, "
                      "${disabled} disabled, ${bad} failures or skips; exit status ${status}")
endif()
message("ok   all ${tests} tests ran and passed")
