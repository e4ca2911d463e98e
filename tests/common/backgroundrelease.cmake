sso_add_test(backgroundrelease_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/backgroundrelease_test.cpp LIBS sso_common)
