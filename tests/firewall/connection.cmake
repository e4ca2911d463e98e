# Firewall connection and connection server, driven on loopback by the
# project's firewall peer and by `openssl s_client`.
sso_add_test(client_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/client_test.cpp ${CMAKE_CURRENT_LIST_DIR}/connectionfixture.h
  LIBS sso_firewall sso_firewallpeer sso_settings sso_log)
sso_add_test(server_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/server_test.cpp ${CMAKE_CURRENT_LIST_DIR}/connectionfixture.h
  LIBS sso_firewall sso_firewallpeer sso_settings sso_log)
