sso_add_test(inifile_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/inifile_test.cpp LIBS sso_settings)
