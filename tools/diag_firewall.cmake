# sso-diag firewall: a firewall peer for operators; the peer itself is a
# small library that the tests and the benchmark use as their firewall.
add_library(sso_firewallpeer STATIC ${CMAKE_CURRENT_LIST_DIR}/firewallpeer.h ${CMAKE_CURRENT_LIST_DIR}/firewallpeer.cpp)
target_include_directories(sso_firewallpeer PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(sso_firewallpeer PUBLIC Qt5::Core Qt5::Network OpenSSL::SSL OpenSSL::Crypto)
target_link_libraries(sso-diag PRIVATE sso_firewallpeer)
