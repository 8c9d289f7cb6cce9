target_sources(${bench} PRIVATE ${CMAKE_SOURCE_DIR}/tests/update_rig.cpp
    ${CMAKE_SOURCE_DIR}/update/installation_gate.cpp
    ${CMAKE_SOURCE_DIR}/update/file_update_window.cpp
    ${CMAKE_SOURCE_DIR}/update/package_stage.cpp ${CMAKE_SOURCE_DIR}/update/update_run.cpp
    ${CMAKE_SOURCE_DIR}/update/update_lock.cpp
    ${CMAKE_SOURCE_DIR}/update/http.cpp ${CMAKE_SOURCE_DIR}/update/internet_file.cpp
    ${CMAKE_SOURCE_DIR}/update/output_file.cpp
    ${CMAKE_SOURCE_DIR}/update/release_check.cpp ${CMAKE_SOURCE_DIR}/update/cng.cpp
    ${ZARN_RELEASE_KEYS_SOURCE}
    ${CMAKE_SOURCE_DIR}/support/log.cpp ${CMAKE_SOURCE_DIR}/support/registry.cpp
    ${CMAKE_SOURCE_DIR}/support/registryex.cpp
    ${CMAKE_SOURCE_DIR}/control/os_version.cpp ${CMAKE_SOURCE_DIR}/control/install_folder.cpp)
target_include_directories(${bench} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
add_dependencies(${bench} Zarn_setup)
