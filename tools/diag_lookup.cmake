# sso-diag lookup: the agent's name look-up from the command line.
target_link_libraries(sso-diag PRIVATE sso_lookup sso_settings)
