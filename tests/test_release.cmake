# Signed releases through the registered module: it rewrites the update
# server's product files and watches the log viewer window.
target_sources(${suite} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/update_rig.cpp)
target_link_libraries(${suite} PRIVATE zarn_control)
add_dependencies(${suite} Zarn_setup)
set_property(TEST ${suite} APPEND PROPERTY FIXTURES_REQUIRED updateserver)
set_property(TEST ${suite} APPEND PROPERTY RESOURCE_LOCK updateserver_files log_viewer)
set_property(TEST ${suite} PROPERTY TIMEOUT 900)

# A second module that trusts two keys, the build's and a "next" one (made
# here, a throwaway pair under the build folder): the same libraries linked
# with another key list.
set(_next ${CMAKE_BINARY_DIR}/keys-next)
if(NOT EXISTS ${_next}/release-public.pem)
    file(MAKE_DIRECTORY ${_next})
    execute_process(COMMAND openssl ecparam -name prime256v1 -genkey -noout
                            -out ${_next}/release-private.pem RESULT_VARIABLE _failed)
    if(NOT _failed)
        execute_process(COMMAND openssl ec -in ${_next}/release-private.pem -pubout
                                -out ${_next}/release-public.pem ERROR_QUIET)
    endif()
endif()
file(READ ${ZARN_UPDATE_KEYS} _current_key)
file(READ ${_next}/release-public.pem _next_key)
file(WRITE ${_next}/both-public.pem "${_current_key}${_next_key}")
zarn_release_keys(${_next}/both-public.pem ${CMAKE_BINARY_DIR}/generated/release_keys_two.cpp)
zarn_module(ZarnCtrl2_twokeys ZarnCtrl2-twokeys ${CMAKE_BINARY_DIR}/generated/release_keys_two.cpp)
add_dependencies(ZarnCtrl2_twokeys ZarnCtrl2)
add_dependencies(${suite} ZarnCtrl2_twokeys)
set_property(TEST ${suite} APPEND PROPERTY ENVIRONMENT
    "ZARN_NEXT_RELEASE_KEY=${_next}/release-private.pem")

# The publishing tool itself, on Linux.
add_test(NAME publish_tool COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/publish_tool_test.py)
set_tests_properties(publish_tool PROPERTIES TIMEOUT 120)
