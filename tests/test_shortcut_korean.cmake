# A Korean system (see tests/fixtures/korean_locale.cmake).
set_property(TEST ${suite} APPEND PROPERTY ENVIRONMENT ${ZARN_KOREAN_ENV})
set_property(TEST ${suite} APPEND PROPERTY FIXTURES_REQUIRED updateserver korean_locale)
set_property(TEST ${suite} APPEND PROPERTY RESOURCE_LOCK updateserver_files zarn_desktop)
