# The setting of the send limit is read by the hand-off's own code as well.
target_link_libraries(${suite} PRIVATE zarn_launch)
# It writes the limit into the settings key the other transfer suites read.
set_property(TEST ${suite} APPEND PROPERTY RESOURCE_LOCK zarn_settings)
