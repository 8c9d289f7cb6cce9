target_sources(${bench} PRIVATE ${CMAKE_SOURCE_DIR}/tests/update_rig.cpp
    ${ZARN_RELEASE_KEYS_SOURCE})
target_link_libraries(${bench} PRIVATE zarn_control)
target_include_directories(${bench} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
add_dependencies(${bench} Zarn_setup)
