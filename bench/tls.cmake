# Full TLS-PSK handshakes per second: PskServer beside `openssl s_server`.
# Run: bench_tls_handshake --benchmark_filter=SideBySide --benchmark_repetitions=3
# (SideBySide alternates the two servers in one time window: compare wall_ratio and cpu_ratio.)
add_executable(bench_tls_handshake ${CMAKE_CURRENT_LIST_DIR}/tls_handshake.cpp)
target_link_libraries(bench_tls_handshake PRIVATE sso_firewall benchmark::benchmark
                      OpenSSL::SSL OpenSSL::Crypto Qt5::Core Qt5::Network)
