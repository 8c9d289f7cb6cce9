target_sources(${suite} PRIVATE ${CMAKE_SOURCE_DIR}/support/registry.cpp
    ${CMAKE_SOURCE_DIR}/support/registryex.cpp)
# Its keys are its own (one per process).
set(suite_locks "")
