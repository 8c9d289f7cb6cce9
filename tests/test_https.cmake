# The update road over https: Debian's nginx with certificates from a
# throwaway test CA (tests/https_road.py makes them under the build folder and
# switches the server's set-up as the suite asks), passing requests on to the
# update server stand-in, and a second module built for https://localhost:<port>.
if(NOT ZARN_UPDATESERVER_HOST)
    set_tests_properties(${suite} PROPERTIES DISABLED TRUE)
    return()
endif()
math(EXPR _https_default_port "${ZARN_UPDATESERVER_PORT} + 2")
set(ZARN_TEST_HTTPS_PORT ${_https_default_port} CACHE STRING
    "Loopback port of the https update server the tests start")
set(_https_dir ${CMAKE_BINARY_DIR}/https)
zarn_server_address("https://localhost:${ZARN_TEST_HTTPS_PORT}"
    ${CMAKE_BINARY_DIR}/generated/server_address_https.cpp)
zarn_module(ZarnCtrl2_https ZarnCtrl2-https ${ZARN_RELEASE_KEYS_SOURCE}
    ${CMAKE_BINARY_DIR}/generated/server_address_https.cpp)
add_dependencies(ZarnCtrl2_https ZarnCtrl2)
add_dependencies(${suite} ZarnCtrl2_https Zarn_setup Zarn_download Zarn_upload)

target_sources(${suite} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/update_rig.cpp)
target_link_libraries(${suite} PRIVATE zarn_control crypt32)
set_target_properties(${suite} PROPERTIES CROSSCOMPILING_EMULATOR
    "python3;${CMAKE_CURRENT_SOURCE_DIR}/https_road.py;--dir;${_https_dir};--port;${ZARN_TEST_HTTPS_PORT};--backend;${ZARN_UPDATESERVER_PORT};--;${ZARN_WINE_RUN}")
string(REPLACE "/" "\\" _https_dir_win "Z:${_https_dir}")
set_property(TEST ${suite} APPEND PROPERTY ENVIRONMENT "ZARN_HTTPS_DIR=${_https_dir_win}"
    "ZARN_HTTPS_PORT=${ZARN_TEST_HTTPS_PORT}")
set_property(TEST ${suite} APPEND PROPERTY FIXTURES_REQUIRED updateserver)
set_property(TEST ${suite} APPEND PROPERTY RESOURCE_LOCK updateserver_files log_viewer)
set_property(TEST ${suite} PROPERTY TIMEOUT 600)
