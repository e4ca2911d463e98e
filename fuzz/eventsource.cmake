# The XML event store: scanner, segments, parsing and filtering, on a real file.
sso_add_fuzzer(xml_event_reader_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/xml_event_reader_fuzz.cpp ${CMAKE_SOURCE_DIR}/eventsource/xmleventscanner.cpp
          ${CMAKE_SOURCE_DIR}/eventsource/xmllogquery.cpp ${CMAKE_SOURCE_DIR}/eventsource/eventxmlparser.cpp
          ${CMAKE_SOURCE_DIR}/eventsource/eventstore.cpp
  LIBS sso_eventsource sso_log Qt5::Core)

# EVTX files through libevtx and the project's extraction of their events.
sso_add_fuzzer(evtx_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/evtx_fuzz.cpp ${CMAKE_SOURCE_DIR}/eventsource/eventstore.cpp
          ${CMAKE_SOURCE_DIR}/eventsource/eventxmlparser.cpp ${CMAKE_SOURCE_DIR}/eventsource/xmllogquery.cpp
  LIBS sso_eventsource sso_log Qt5::Core)
