# One syslog datagram through the syslog task: decoding, line splitting, patterns
# (run with -dict=fuzz/syslog_datagram_fuzz.dict).
sso_add_fuzzer(syslog_datagram_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/syslog_datagram_fuzz.cpp
          ${CMAKE_SOURCE_DIR}/service/syslogtask.cpp ${CMAKE_SOURCE_DIR}/service/syslogtask.h
          ${CMAKE_SOURCE_DIR}/service/sysloglistener.cpp ${CMAKE_SOURCE_DIR}/service/sysloglistener.h
          ${CMAKE_SOURCE_DIR}/service/collectionstats.cpp ${CMAKE_SOURCE_DIR}/service/collectionstats.h
  LIBS sso_settings sso_common sso_log Qt5::Core Qt5::Network)
