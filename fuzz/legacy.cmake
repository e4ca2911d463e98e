# The legacy event-log record parser.
sso_add_fuzzer(eventlogrecord_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/eventlogrecord_fuzz.cpp ${CMAKE_SOURCE_DIR}/eventsource/eventlogrecord.cpp
  LIBS Qt5::Core)

# The legacy event-log file layer: arbitrary bytes as a saved log, opened and
# read in every direction with buffers that start small and grow on demand.
sso_add_fuzzer(eventlogfile_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/eventlogfile_fuzz.cpp ${CMAKE_SOURCE_DIR}/eventsource/eventlogfile.cpp
          ${CMAKE_SOURCE_DIR}/eventsource/eventlogrecord.cpp
  LIBS sso_eventsource sso_log Qt5::Core)
