# One probing cycle of the logoff collector over an address list (run by probes_run.sh).
add_executable(probes_cycle ${CMAKE_CURRENT_LIST_DIR}/probes_cycle.cpp)
target_link_libraries(probes_cycle PRIVATE sso_logoff Qt5::Core)
