# The hand-off classes are tested directly, without the module.
target_link_libraries(${suite} PRIVATE zarn_launch)
# Its own windows only.
set(suite_locks "")
