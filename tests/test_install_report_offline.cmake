target_link_libraries(${suite} PRIVATE zarn_launch)
# It names an update server that cannot be reached itself.
set(suite_server_address OFF)
