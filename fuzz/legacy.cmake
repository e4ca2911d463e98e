# The legacy event-log record parser under libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer. The parser is compiled into the target itself so
# that its branches are instrumented for coverage.
add_executable(eventlogrecord_fuzz
  ${CMAKE_CURRENT_LIST_DIR}/eventlogrecord_fuzz.cpp
  ${CMAKE_SOURCE_DIR}/eventsource/eventlogrecord.cpp)
target_include_directories(eventlogrecord_fuzz PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_options(eventlogrecord_fuzz PRIVATE -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined)
target_link_options(eventlogrecord_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
target_link_libraries(eventlogrecord_fuzz PRIVATE Qt5::Core)

# The legacy event-log file layer: arbitrary bytes as a saved log, opened and
# read in every direction with buffers that start small and grow on demand.
add_executable(eventlogfile_fuzz
  ${CMAKE_CURRENT_LIST_DIR}/eventlogfile_fuzz.cpp
  ${CMAKE_SOURCE_DIR}/eventsource/eventlogfile.cpp
  ${CMAKE_SOURCE_DIR}/eventsource/eventlogrecord.cpp)
target_include_directories(eventlogfile_fuzz PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_options(eventlogfile_fuzz PRIVATE -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined)
target_link_options(eventlogfile_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
target_link_libraries(eventlogfile_fuzz PRIVATE sso_eventsource sso_log Qt5::Core)
