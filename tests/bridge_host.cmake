# The bridge host driven from Linux through its pipes, as a browser drives it
# (tests/bridge_host_test.py). It runs on the Korean system, talks to the
# update server stand-in and rewrites its product files, and changes the
# settings, the install folder and the desktop.
if(NOT ZARN_UPDATESERVER_HOST)
    return()
endif()
string(REGEX REPLACE "/+$" "" _bridge_origin "${ZARN_UPDATE_SERVER}")
add_test(NAME bridge_host
    COMMAND bash -c ". '${CMAKE_SOURCE_DIR}/scripts/lib.sh' && zarn_wine_env '${CMAKE_BINARY_DIR}' && exec python3 '${CMAKE_CURRENT_SOURCE_DIR}/bridge_host_test.py'")
set_tests_properties(bridge_host PROPERTIES TIMEOUT 600
    FIXTURES_REQUIRED "updateserver;korean_locale"
    RESOURCE_LOCK "zarn_state;updateserver_files"
    ENVIRONMENT "${ZARN_KOREAN_ENV};ZARN_BRIDGE_BUILD=${CMAKE_BINARY_DIR};ZARN_BRIDGE_SOURCE=${CMAKE_SOURCE_DIR};ZARN_BRIDGE_ORIGIN=${_bridge_origin};ZARN_RELEASE_KEY=${ZARN_RELEASE_TEST_KEY};PYTHONDONTWRITEBYTECODE=1")
