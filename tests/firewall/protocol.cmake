sso_add_test(protocol_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/protocol_test.cpp LIBS sso_firewall)
