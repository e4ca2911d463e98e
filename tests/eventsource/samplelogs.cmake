# Without the public sample logs the tests that read them are skipped with a
# reason; where the samples are required (CI), their absence fails the suite.
add_test(NAME SampleLogs.MissingSamplesAreSkipped
  COMMAND eventsource_test --gtest_filter=EventStoreTest.*Evtx*)
set_tests_properties(SampleLogs.MissingSamplesAreSkipped PROPERTIES
  ENVIRONMENT "SSO_SAMPLE_LOGS=/nonexistent/sample-logs;SSO_REQUIRE_SAMPLE_LOGS=0;QT_QPA_PLATFORM=offscreen"
  PASS_REGULAR_EXPRESSION "set SSO_SAMPLE_LOGS to the folder holding them"
  FAIL_REGULAR_EXPRESSION "FAILED")
add_test(NAME SampleLogs.MissingSamplesFailWhereRequired
  COMMAND eventsource_test --gtest_filter=EventStoreTest.*Evtx*)
set_tests_properties(SampleLogs.MissingSamplesFailWhereRequired PROPERTIES
  ENVIRONMENT "SSO_SAMPLE_LOGS=/nonexistent/sample-logs;SSO_REQUIRE_SAMPLE_LOGS=1;QT_QPA_PLATFORM=offscreen"
  WILL_FAIL TRUE)
