# The control's dispatch table is linked in; the type library is read from
# the built module's resources. No shared state.
target_sources(${suite} PRIVATE ${ZARN_RELEASE_KEYS_SOURCE})
target_link_libraries(${suite} PRIVATE zarn_control)
set(suite_locks "")
