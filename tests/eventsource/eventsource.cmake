set(SSO_EVT_TEST_DIR ${CMAKE_CURRENT_LIST_DIR})
sso_add_test(eventsource_test
  SOURCES
    ${SSO_EVT_TEST_DIR}/securityxml.h ${SSO_EVT_TEST_DIR}/securityxml.cpp
    ${SSO_EVT_TEST_DIR}/iactivedirectoryeventcollector_test.cpp
    ${SSO_EVT_TEST_DIR}/logonrules_test.cpp
    ${SSO_EVT_TEST_DIR}/eventxmlparser_test.cpp
    ${SSO_EVT_TEST_DIR}/eventstore_test.cpp
    ${SSO_EVT_TEST_DIR}/apiwindowseventlog_test.cpp
    ${SSO_EVT_TEST_DIR}/rotation_test.cpp
  LIBS sso_eventsource)
