# The fresh-install road against Debian's nginx serving a tree made by
# tools/publish. tests/nginx_road.py runs this suite while nginx holds the
# update server's port (the stand-in steps aside meanwhile; the stand-in's
# resource lock keeps every other suite off the port).
if(NOT ZARN_UPDATESERVER_HOST)
    set_tests_properties(${suite} PROPERTIES DISABLED TRUE)
    return()
endif()
set_target_properties(${suite} PROPERTIES CROSSCOMPILING_EMULATOR
    "python3;${CMAKE_CURRENT_SOURCE_DIR}/nginx_road.py;--dir;${CMAKE_BINARY_DIR}/nginx;--host;${ZARN_UPDATESERVER_HOST};--port;${ZARN_UPDATESERVER_PORT};--standin-root;${ZARN_UPDATESERVER_DIR}/webroot;--;${ZARN_WINE_RUN}")
target_link_libraries(${suite} PRIVATE zarn_control)
add_dependencies(${suite} Zarn_setup Zarn_download Zarn_upload)
set_property(TEST ${suite} APPEND PROPERTY FIXTURES_REQUIRED updateserver)
set_property(TEST ${suite} APPEND PROPERTY RESOURCE_LOCK updateserver_files)
set_property(TEST ${suite} APPEND PROPERTY ENVIRONMENT "ZARN_PUBLISH_TOOL=${CMAKE_SOURCE_DIR}/tools/publish")
