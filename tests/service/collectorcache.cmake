sso_add_test(collectorcache_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/cachefixture.h ${CMAKE_CURRENT_LIST_DIR}/collectorcache_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/collectordns_test.cpp
  LIBS sso_service)
