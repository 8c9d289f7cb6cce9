# The hand-off classes are tested directly, without the module.
target_sources(${suite} PRIVATE ${CMAKE_SOURCE_DIR}/launch/handoff.cpp
    ${CMAKE_SOURCE_DIR}/launch/handoff_record.cpp)
# Its own windows only.
set(suite_locks "")
