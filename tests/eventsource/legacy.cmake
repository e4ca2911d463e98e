# The legacy event-log reader and the event-log files it reads.
sso_add_test(eventlogfile_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/eventlogfile_test.cpp LIBS sso_eventsource)
sso_add_test(apieventlogging_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/apieventlogging_test.cpp LIBS sso_eventsource)
