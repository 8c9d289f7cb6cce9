# The setting of the send limit is read by the hand-off's own code as well.
target_sources(${suite} PRIVATE ${CMAKE_SOURCE_DIR}/launch/send_limit.cpp
    ${CMAKE_SOURCE_DIR}/support/registryex.cpp)
# It writes the limit into the settings key the other transfer suites read.
set_property(TEST ${suite} APPEND PROPERTY RESOURCE_LOCK zarn_settings)
