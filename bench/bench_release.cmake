target_link_libraries(${bench} PRIVATE zarn_update)
target_link_libraries(${bench} PRIVATE bcrypt)
