# TLS-PSK transport: PskServer and PskSocket against `openssl s_client` and a
# blocking OpenSSL client on loopback.
sso_add_test(pskserver_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/pskserver_test.cpp LIBS sso_firewall sso_settings)
sso_add_test(psksocket_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/psksocket_test.cpp LIBS sso_firewall OpenSSL::SSL OpenSSL::Crypto Threads::Threads)
