# A Korean system: Wine takes the ANSI code page (949) from LC_ALL. Wine also
# takes the Unix file-name encoding from the C library's locale, and without
# an installed ko_KR.UTF-8 locale that falls back to ASCII, so a Hangul folder
# name cannot be created. The locale is compiled once per build folder from
# the system's locale sources and found through LOCPATH.
if(NOT TEST korean_locale_build)
    file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/locale)
    add_test(NAME korean_locale_build
        COMMAND localedef -i ko_KR -f UTF-8 ${CMAKE_BINARY_DIR}/locale/ko_KR.UTF-8)
    set_tests_properties(korean_locale_build PROPERTIES FIXTURES_SETUP korean_locale TIMEOUT 120)
endif()
set_property(TEST ${suite} APPEND PROPERTY ENVIRONMENT
    "LC_ALL=ko_KR.UTF-8" "LOCPATH=${CMAKE_BINARY_DIR}/locale")
set_property(TEST ${suite} APPEND PROPERTY FIXTURES_REQUIRED updateserver korean_locale)
set_property(TEST ${suite} APPEND PROPERTY RESOURCE_LOCK updateserver_files zarn_desktop)
