# The INI text reader, and config.ini loaded by Settings.
sso_add_fuzzer(inifile_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/inifile_fuzz.cpp ${CMAKE_SOURCE_DIR}/settings/inifile.cpp
  LIBS Qt5::Core)

sso_add_fuzzer(settings_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/settings_fuzz.cpp ${CMAKE_SOURCE_DIR}/settings/settings.cpp
          ${CMAKE_SOURCE_DIR}/settings/configuration.cpp
  LIBS sso_settings sso_log Qt5::Core)
