# The update dialog and the gate are linked in as product code; the dialog's
# template comes from the built module.
target_sources(${suite} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/update_rig.cpp
    ${ZARN_RELEASE_KEYS_SOURCE})
target_link_libraries(${suite} PRIVATE zarn_control)
add_dependencies(${suite} Zarn_setup)
# The fixed product files on the server and the log viewer window are shared.
set_tests_properties(${suite} PROPERTIES FIXTURES_REQUIRED "module_registered;updateserver"
    RESOURCE_LOCK "updateserver_files;log_viewer" TIMEOUT 900)
