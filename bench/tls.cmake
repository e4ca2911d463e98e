# Full TLS-PSK handshakes: PskServer beside `openssl s_server`, every suite of the agent.
# Run: bench/tls_run.sh [--ciphers A:B] (SideBySide alternates the two servers in one
# time window: compare wall_ratio and cpu_ratio in the _min/_median/_max rows).
add_executable(bench_tls_handshake ${CMAKE_CURRENT_LIST_DIR}/tls_handshake.cpp)
target_link_libraries(bench_tls_handshake PRIVATE sso_firewall benchmark::benchmark
                      OpenSSL::SSL OpenSSL::Crypto Qt5::Core Qt5::Network)
