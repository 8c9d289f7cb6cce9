# Real wait limits against the update server stand-in's fault modes, through
# the page host: it rewrites the product files and makes the desktop shortcut.
target_sources(${suite} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/update_rig.cpp)
target_link_libraries(${suite} PRIVATE zarn_control)
add_dependencies(${suite} Zarn_setup)
set_tests_properties(${suite} PROPERTIES FIXTURES_REQUIRED "module_registered;updateserver"
    RESOURCE_LOCK "updateserver_files;zarn_desktop" TIMEOUT 900)
