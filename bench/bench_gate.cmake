target_link_libraries(${bench} PRIVATE zarn_control)
add_dependencies(${bench} Zarn_setup)
