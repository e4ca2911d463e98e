# Event-source benchmarks; bench/eventsource_run.sh runs them with a large EVTX
# log and sets evtxexport beside the reader.
add_executable(bench_eventsource ${CMAKE_CURRENT_LIST_DIR}/eventsource_bench.cpp
  ${CMAKE_SOURCE_DIR}/tests/eventsource/securityxml.cpp)
target_include_directories(bench_eventsource PRIVATE ${CMAKE_SOURCE_DIR}/tests/eventsource)
target_link_libraries(bench_eventsource PRIVATE sso_eventsource benchmark::benchmark Qt5::Core)
add_custom_target(bench-eventsource
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/eventsource_run.sh ${CMAKE_BINARY_DIR}
  DEPENDS bench_eventsource sso-diag USES_TERMINAL)

# Spike: what an own reader of the EVTX format would cost beside libevtx.
find_package(PkgConfig REQUIRED)
pkg_check_modules(SPIKE_LIBEVTX REQUIRED IMPORTED_TARGET libevtx)
add_executable(evtx_spike ${CMAKE_CURRENT_LIST_DIR}/evtx_spike.cpp)
target_link_libraries(evtx_spike PRIVATE PkgConfig::SPIKE_LIBEVTX)
