target_link_libraries(${bench} PRIVATE zarn_select)
