# Look-up batches against a local dnsmasq: 1,000 names in threads and one after another.
add_executable(lookup_bench
  ${CMAKE_CURRENT_LIST_DIR}/lookup_bench.cpp
  ${CMAKE_SOURCE_DIR}/tests/support/dnsmasqserver.h ${CMAKE_SOURCE_DIR}/tests/support/dnsmasqserver.cpp
  ${CMAKE_SOURCE_DIR}/tests/support/udpresponder.h ${CMAKE_SOURCE_DIR}/tests/support/udpresponder.cpp
  ${CMAKE_SOURCE_DIR}/tests/support/dnsmessagebuilder.h ${CMAKE_SOURCE_DIR}/tests/support/dnsmessagebuilder.cpp)
target_include_directories(lookup_bench PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(lookup_bench PRIVATE sso_lookup benchmark::benchmark Qt5::Core)
