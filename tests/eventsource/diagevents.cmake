sso_add_test(diag_events_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/diag_events_test.cpp LIBS sso_common)
add_dependencies(diag_events_test sso-diag)
