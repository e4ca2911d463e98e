# The collector hosts against real parts: ICMP in the test's own network
# namespace (tests/logoff/main.cpp enters it first), dnsmasq, event stores.
sso_add_test(collectorhosts_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/cachefixture.h ${CMAKE_CURRENT_LIST_DIR}/collectorhosts_test.cpp
          ${CMAKE_SOURCE_DIR}/tests/logoff/main.cpp
          ${CMAKE_SOURCE_DIR}/tests/eventsource/securityxml.h ${CMAKE_SOURCE_DIR}/tests/eventsource/securityxml.cpp
  LIBS sso_service)
