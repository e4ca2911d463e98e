# Collector tasks read real event stores; the XML writer comes from the event-source tests.
sso_add_test(collectortask_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/collectortask_test.cpp
          ${CMAKE_SOURCE_DIR}/tests/eventsource/securityxml.h ${CMAKE_SOURCE_DIR}/tests/eventsource/securityxml.cpp
  LIBS sso_service)
