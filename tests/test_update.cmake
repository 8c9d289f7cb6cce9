# The update dialog and the gate are linked in as product code; the dialog's
# template comes from the built module.
target_sources(${suite} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/update_rig.cpp
    ${CMAKE_SOURCE_DIR}/update/installation_gate.cpp
    ${CMAKE_SOURCE_DIR}/update/file_update_window.cpp
    ${CMAKE_SOURCE_DIR}/update/package_stage.cpp
    ${CMAKE_SOURCE_DIR}/update/update_run.cpp ${CMAKE_SOURCE_DIR}/update/update_lock.cpp
    ${CMAKE_SOURCE_DIR}/update/http.cpp ${CMAKE_SOURCE_DIR}/update/internet_file.cpp
    ${CMAKE_SOURCE_DIR}/update/output_file.cpp
    ${CMAKE_SOURCE_DIR}/update/release_check.cpp ${CMAKE_SOURCE_DIR}/update/cng.cpp
    ${ZARN_RELEASE_KEYS_SOURCE}
    ${CMAKE_SOURCE_DIR}/support/log.cpp ${CMAKE_SOURCE_DIR}/support/registry.cpp
    ${CMAKE_SOURCE_DIR}/support/registryex.cpp
    ${CMAKE_SOURCE_DIR}/control/os_version.cpp ${CMAKE_SOURCE_DIR}/control/install_folder.cpp)
add_dependencies(${suite} Zarn_setup)
# The fixed product files on the server and the log viewer window are shared.
set_tests_properties(${suite} PROPERTIES FIXTURES_REQUIRED "module_registered;updateserver"
    RESOURCE_LOCK "updateserver_files;log_viewer" TIMEOUT 900)
