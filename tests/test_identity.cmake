# The type library's help texts are read back as a Korean system reads them
# (see tests/fixtures/korean_locale.cmake).
set_property(TEST ${suite} APPEND PROPERTY ENVIRONMENT ${ZARN_KOREAN_ENV})
set_property(TEST ${suite} APPEND PROPERTY FIXTURES_REQUIRED korean_locale)
target_link_libraries(${suite} PRIVATE version)
# The type library and resources only: no shared state.
set(suite_locks "")
