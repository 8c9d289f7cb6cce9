# Created through its registration and addressed by its interface IDs.
target_link_libraries(${suite} PRIVATE zarn_interface_ids)
