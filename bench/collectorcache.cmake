# The collector cache at 250,000 logons; bench/collectorcache_run.sh runs it.
add_executable(bench_collectorcache ${CMAKE_CURRENT_LIST_DIR}/collectorcache_bench.cpp)
target_link_libraries(bench_collectorcache PRIVATE sso_service benchmark::benchmark Qt5::Core)
