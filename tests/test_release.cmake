# Signed releases through the registered module: it rewrites the update
# server's product files and watches the log viewer window.
target_sources(${suite} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/update_rig.cpp
    ${CMAKE_SOURCE_DIR}/control/install_folder.cpp)
add_dependencies(${suite} Zarn_setup)
set_property(TEST ${suite} APPEND PROPERTY FIXTURES_REQUIRED updateserver)
set_property(TEST ${suite} APPEND PROPERTY RESOURCE_LOCK updateserver_files log_viewer)
set_property(TEST ${suite} PROPERTY TIMEOUT 900)

# A second module that trusts two keys, the build's and a "next" one (made
# here, a throwaway pair under the build folder): the same objects linked
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
add_library(ZarnCtrl2_twokeys SHARED $<TARGET_OBJECTS:zarnctrl_objects>
    ${CMAKE_BINARY_DIR}/generated/release_keys_two.cpp ${CMAKE_SOURCE_DIR}/resources/ZarnCtrl2.rc
    ${CMAKE_SOURCE_DIR}/control/ZarnCtrl2.def)
set_target_properties(ZarnCtrl2_twokeys PROPERTIES PREFIX "" SUFFIX ".ocx"
    OUTPUT_NAME ZarnCtrl2-twokeys)
set_source_files_properties(${CMAKE_SOURCE_DIR}/resources/ZarnCtrl2.rc PROPERTIES
    OBJECT_DEPENDS "${ZARN_TYPELIB_FILE}")
target_link_libraries(ZarnCtrl2_twokeys PRIVATE zarn_framework ${ZARN_SYSTEM_LIBS})
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    target_link_options(ZarnCtrl2_twokeys PRIVATE -Wl,--enable-stdcall-fixup)
endif()
add_dependencies(ZarnCtrl2_twokeys zarn_typelib ZarnCtrl2)
add_dependencies(${suite} ZarnCtrl2_twokeys)
set_property(TEST ${suite} APPEND PROPERTY ENVIRONMENT
    "ZARN_NEXT_RELEASE_KEY=${_next}/release-private.pem")

# The publishing tool itself, on Linux.
add_test(NAME publish_tool COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/publish_tool_test.py)
set_tests_properties(publish_tool PROPERTIES TIMEOUT 120)
