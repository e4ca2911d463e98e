sso_add_test(logon_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/logon_test.cpp ${CMAKE_CURRENT_LIST_DIR}/clock_test.cpp LIBS sso_common)
