# Per-logon costs of the firewall link: Login message building, rule filtering, rule set reading.
add_executable(protocol_bench ${CMAKE_CURRENT_LIST_DIR}/protocol_bench.cpp)
target_link_libraries(protocol_bench PRIVATE sso_firewall sso_common benchmark::benchmark Qt5::Core Qt5::Network)
