# Many firewalls at once against the agent executable (not a Google
# Benchmark: one end-to-end run that prints time, memory and CPU figures).
if(TARGET sso_firewallpeer AND TARGET ferrowinden-sso-agent)
  add_executable(bench_firewall_peers ${CMAKE_CURRENT_LIST_DIR}/firewall_peers.cpp)
  target_link_libraries(bench_firewall_peers PRIVATE sso_firewallpeer Qt5::Core Qt5::Network)
  target_compile_definitions(bench_firewall_peers PRIVATE SSO_AGENT_PATH="$<TARGET_FILE:ferrowinden-sso-agent>")
  add_dependencies(bench_firewall_peers ferrowinden-sso-agent)
endif()
