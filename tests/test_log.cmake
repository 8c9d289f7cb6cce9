target_link_libraries(${suite} PRIVATE zarn_support)
add_dependencies(${suite} xlogwnd)
# Viewer windows are found desktop-wide: suites that open one take turns.
set_tests_properties(${suite} PROPERTIES RESOURCE_LOCK log_viewer)
set(suite_locks "")
