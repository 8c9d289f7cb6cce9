target_sources(${suite} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/update_rig.cpp)
target_link_libraries(${suite} PRIVATE zarn_control)
set_tests_properties(${suite} PROPERTIES FIXTURES_REQUIRED "module_registered;updateserver"
    RESOURCE_LOCK updateserver_files)
