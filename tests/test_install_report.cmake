target_sources(${suite} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/update_rig.cpp
    ${CMAKE_SOURCE_DIR}/launch/install_report.cpp ${CMAKE_SOURCE_DIR}/update/internet_file.cpp
    ${CMAKE_SOURCE_DIR}/support/registryex.cpp ${CMAKE_SOURCE_DIR}/control/install_folder.cpp)
set_tests_properties(${suite} PROPERTIES FIXTURES_REQUIRED "module_registered;updateserver"
    RESOURCE_LOCK updateserver_files)
