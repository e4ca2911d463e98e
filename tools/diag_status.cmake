# sso-diag status and mappings: queries of the running agent's control socket.
target_link_libraries(sso-diag PRIVATE sso_serviceframe)
