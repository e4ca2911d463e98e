# Syslog intake beside rsyslog; bench/syslog_run.sh runs it.
add_executable(bench_syslog ${CMAKE_CURRENT_LIST_DIR}/syslog_bench.cpp)
target_link_libraries(bench_syslog PRIVATE sso_service Qt5::Core Qt5::Network)
