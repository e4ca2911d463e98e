sso_add_test(syslogtask_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/syslogtask_test.cpp LIBS sso_service)
