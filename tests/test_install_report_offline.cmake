target_link_libraries(${suite} PRIVATE zarn_launch)
