# The Debian package (scripts/package): the agent and sso-diag in
# /opt/ferrowinden-sso-agent, the systemd unit as "-i" writes it in
# /lib/systemd/system, runtime dependencies computed by dpkg-shlibdeps.
set(SSO_INSTALL_DIR opt/ferrowinden-sso-agent)

if(TARGET ferrowinden-sso-agent AND TARGET sso-diag)
  add_executable(sso-unit-writer ${CMAKE_CURRENT_LIST_DIR}/unitwriter.cpp)
  target_link_libraries(sso-unit-writer PRIVATE sso_app)
  set(SSO_UNIT_FILE ${CMAKE_BINARY_DIR}/packaging/ferrowinden-sso-agent.service)
  add_custom_command(OUTPUT ${SSO_UNIT_FILE}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
    COMMAND sso-unit-writer /${SSO_INSTALL_DIR}/ferrowinden-sso-agent ${SSO_UNIT_FILE}
    DEPENDS sso-unit-writer VERBATIM)
  set(SSO_CHANGELOG ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
  add_custom_command(OUTPUT ${SSO_CHANGELOG}
    COMMAND gzip -9nc ${CMAKE_CURRENT_LIST_DIR}/changelog > ${SSO_CHANGELOG}
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/changelog VERBATIM)
  add_custom_target(sso-package-files ALL DEPENDS ${SSO_UNIT_FILE} ${SSO_CHANGELOG})

  install(TARGETS ferrowinden-sso-agent sso-diag RUNTIME DESTINATION ${SSO_INSTALL_DIR})
  install(FILES ${SSO_UNIT_FILE} DESTINATION lib/systemd/system)
  set(SSO_DOC_DIR usr/share/doc/ferrowinden-sso-agent)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${SSO_CHANGELOG} DESTINATION ${SSO_DOC_DIR})
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/lintian-overrides DESTINATION usr/share/lintian/overrides
          RENAME ferrowinden-sso-agent)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ferrowinden-sso-agent)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "single sign-on agent for Ferrowinden firewalls")
set(CPACK_PACKAGE_DESCRIPTION "The agent reads the Security event logs of Active Directory domain
controllers (or syslog), keeps a cache of who is logged on at which IP
address, and sends Ferrowinden firewalls the logins and logouts their rules
admit, over TLS with a pre-shared key. It runs as a systemd service.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Ferrowinden SSO Agent team <sso-agent@ferrowinden.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# deb-systemd-helper and deb-systemd-invoke of the maintainer scripts.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "init-system-helpers (>= 1.54~)")
set(CPACK_DEBIAN_FILE_NAME "${CPACK_PACKAGE_NAME}_${CPACK_PACKAGE_VERSION}_${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}.deb")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/postinst ${CMAKE_CURRENT_LIST_DIR}/prerm ${CMAKE_CURRENT_LIST_DIR}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
