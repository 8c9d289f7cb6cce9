target_link_libraries(${suite} PRIVATE zarn_update)
# Viewer windows are found desktop-wide, and one test here makes the server
# refuse every connection for a moment: take both locks.
set_tests_properties(${suite} PROPERTIES FIXTURES_REQUIRED "module_registered;updateserver"
    RESOURCE_LOCK "log_viewer;updateserver_files")
set(suite_locks "")
