# The type library's help text is stored in code page 949 and written to the
# registry as the system reads it, so the table comparison needs a Korean system.
set_property(TEST ${suite} APPEND PROPERTY ENVIRONMENT ${ZARN_KOREAN_ENV})
set_property(TEST ${suite} APPEND PROPERTY FIXTURES_REQUIRED korean_locale)
# It unregisters and registers the module that every other suite creates.
set(suite_serial ON)
