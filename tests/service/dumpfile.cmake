sso_add_test(dumpfile_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/dumpfile_test.cpp LIBS sso_service)
