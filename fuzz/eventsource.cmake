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

# The leak suppressions of these runs hide libevtx's own leaks, never a
# record, file or error of libevtx that our side leaves unfreed.
add_executable(evtx_leak_canary ${CMAKE_CURRENT_LIST_DIR}/evtx_leak_canary.cpp ${CMAKE_SOURCE_DIR}/eventsource/eventstore.cpp
                                ${CMAKE_SOURCE_DIR}/eventsource/eventxmlparser.cpp ${CMAKE_SOURCE_DIR}/eventsource/xmllogquery.cpp)
target_include_directories(evtx_leak_canary PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_options(evtx_leak_canary PRIVATE -fsanitize=address)
target_link_options(evtx_leak_canary PRIVATE -fsanitize=address)
target_link_libraries(evtx_leak_canary PRIVATE sso_eventsource sso_log Qt5::Core)
set(evtx_corpus ${CMAKE_CURRENT_LIST_DIR}/corpus/evtx_fuzz)
add_test(NAME fuzz.evtx_leak_canary
         COMMAND evtx_leak_canary ${evtx_corpus}/dc-mixed-4624-4768.evtx ${evtx_corpus}/damaged-template-libevtx-leaks.evtx
                 ${evtx_corpus}/damaged-chunk-libevtx-leaks.evtx)
set_tests_properties(fuzz.evtx_leak_canary PROPERTIES
  ENVIRONMENT "ASAN_OPTIONS=detect_leaks=1;LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_LIST_DIR}/lsan.supp;QT_QPA_PLATFORM=offscreen"
  TIMEOUT 120)
