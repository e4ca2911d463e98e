# The firewall side of the agent protocol under libFuzzer (run with -dict=fuzz/protocol.dict) with AddressSanitizer
# and UndefinedBehaviorSanitizer. The parsers are compiled into the targets so
# that their branches are instrumented for coverage.
add_executable(protocol_messages_fuzz
  ${CMAKE_CURRENT_LIST_DIR}/protocol_messages_fuzz.cpp
  ${CMAKE_SOURCE_DIR}/firewall/protocol.cpp
  ${CMAKE_SOURCE_DIR}/settings/inifile.cpp
  ${CMAKE_SOURCE_DIR}/common/userrule.cpp)
target_include_directories(protocol_messages_fuzz PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_options(protocol_messages_fuzz PRIVATE -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined)
target_link_options(protocol_messages_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
target_link_libraries(protocol_messages_fuzz PRIVATE sso_settings sso_eventsource sso_common sso_log Qt5::Core Qt5::Network)

# Address entries of rules and the filter's tests against them.
add_executable(address_entry_fuzz
  ${CMAKE_CURRENT_LIST_DIR}/address_entry_fuzz.cpp
  ${CMAKE_SOURCE_DIR}/common/userrule.cpp
  ${CMAKE_SOURCE_DIR}/common/userfilter.cpp
  ${CMAKE_SOURCE_DIR}/common/userfilter.h)
target_include_directories(address_entry_fuzz PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_options(address_entry_fuzz PRIVATE -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined)
target_link_options(address_entry_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
target_link_libraries(address_entry_fuzz PRIVATE sso_common sso_log Qt5::Core Qt5::Network)
