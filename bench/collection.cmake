# The agent end to end under load: event stores appended to, firewall peers
# receiving (not a Google Benchmark: one program that prints the figures).
if(TARGET sso_firewallpeer AND TARGET ferrowinden-sso-agent)
  add_executable(bench_collection ${CMAKE_CURRENT_LIST_DIR}/collection_bench.cpp)
  target_link_libraries(bench_collection PRIVATE sso_firewallpeer Qt5::Core Qt5::Network)
  target_compile_definitions(bench_collection PRIVATE SSO_AGENT_PATH="$<TARGET_FILE:ferrowinden-sso-agent>")
  add_dependencies(bench_collection ferrowinden-sso-agent)
endif()
