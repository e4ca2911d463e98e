sso_add_test(userfilter_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/userrule_test.cpp ${CMAKE_CURRENT_LIST_DIR}/userfilter_test.cpp
  LIBS sso_common)
