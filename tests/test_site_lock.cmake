# The address matching is linked in directly as well as exercised through the module.
target_link_libraries(${suite} PRIVATE zarn_control)
