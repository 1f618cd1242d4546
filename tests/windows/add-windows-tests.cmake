# Included by ctest before it runs anything (a TEST_INCLUDE_FILES script of this directory):
# adds windows.<name> for every test that process_tests lists, run by run-wine-tests.sh against
# the Windows program. A process test added later runs under Wine without any list to update;
# one that cannot run there skips itself under a launcher (see Target::launched()).
# The includer sets PROCESS_TESTS, WINE_TESTS (the command of run-wine-tests.sh), CROSS_DIR and
# CMAKE (the cmake executable).
set(_windows_tests "")
set(_windows_error "")
if(NOT EXISTS "${PROCESS_TESTS}")
  set(_windows_error "${PROCESS_TESTS} is not built")
else()
  execute_process(COMMAND "${PROCESS_TESTS}" --gtest_list_tests OUTPUT_VARIABLE _listing
                  ERROR_VARIABLE _listing_error RESULT_VARIABLE _status TIMEOUT 30)
  if(NOT _status EQUAL 0)
    set(_windows_error "${PROCESS_TESTS} --gtest_list_tests failed (${_status}):\n"
                       "${_listing}${_listing_error}")
  endif()
  # A suite line ("Suite." or "Prefix/Suite.", a comment may follow), then its tests indented
  # ("Name" or "Name/Param", a comment may follow). The characters removed occur in no name and
  # would upset the list of lines.
  foreach(_char "\\" ";" "[" "]")
    string(REPLACE "${_char}" "" _listing "${_listing}")
  endforeach()
  string(REPLACE "\n" ";" _lines "${_listing}")
  unset(_suite)
  foreach(_line IN LISTS _lines)
    if(_line MATCHES "^([^ #]+\\.)( *#.*)?$")
      set(_suite "${CMAKE_MATCH_1}")
    elseif(_line MATCHES "^  ([^ #]+)" AND DEFINED _suite)
      set(_test "${_suite}${CMAKE_MATCH_1}")
      if(NOT _test MATCHES "(^|[./])DISABLED_")
        list(APPEND _windows_tests "${_test}")
      endif()
    endif()
  endforeach()
  if(NOT _windows_error AND NOT _windows_tests)
    set(_windows_error "${PROCESS_TESTS} --gtest_list_tests listed no test:\n${_listing}")
  endif()
endif()

foreach(_test IN LISTS _windows_tests)
  add_test("windows.${_test}" ${WINE_TESTS} run "${CROSS_DIR}" "${PROCESS_TESTS}"
           "--gtest_filter=${_test}")
  # A name that no longer matches a test must fail, not pass with nothing run.
  set_tests_properties(
    "windows.${_test}"
    PROPERTIES FIXTURES_REQUIRED vandry_windows LABELS windows TIMEOUT 120 SKIP_RETURN_CODE 77
               SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]" FAIL_REGULAR_EXPRESSION "Running 0 tests")
endforeach()

# Without a list of tests, one test that prints why and fails.
if(_windows_error)
  add_test(windows.list "${CMAKE}" -E echo "${_windows_error}")
  set_tests_properties(windows.list PROPERTIES LABELS windows FAIL_REGULAR_EXPRESSION ".")
endif()
