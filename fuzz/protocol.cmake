# The firewall side of the agent protocol (its dictionary: protocol_messages_fuzz.dict).
sso_add_fuzzer(protocol_messages_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/protocol_messages_fuzz.cpp ${CMAKE_SOURCE_DIR}/firewall/protocol.cpp
          ${CMAKE_SOURCE_DIR}/settings/inifile.cpp ${CMAKE_SOURCE_DIR}/common/userrule.cpp
  LIBS sso_settings sso_eventsource sso_common sso_log Qt5::Core Qt5::Network)

# Address entries of rules and the filter's tests against them.
sso_add_fuzzer(address_entry_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/address_entry_fuzz.cpp ${CMAKE_SOURCE_DIR}/common/userrule.cpp
          ${CMAKE_SOURCE_DIR}/common/userfilter.cpp ${CMAKE_SOURCE_DIR}/common/userfilter.h
  LIBS sso_common sso_log Qt5::Core Qt5::Network)
