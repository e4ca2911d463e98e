# Full TLS-PSK handshakes per second: PskServer beside `openssl s_server`.
add_executable(bench_tls_handshake ${CMAKE_CURRENT_LIST_DIR}/tls_handshake.cpp)
target_link_libraries(bench_tls_handshake PRIVATE sso_firewall benchmark::benchmark
                      OpenSSL::SSL OpenSSL::Crypto Qt5::Core Qt5::Network)
