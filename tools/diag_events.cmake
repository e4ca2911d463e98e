target_link_libraries(sso-diag PRIVATE sso_eventsource)
