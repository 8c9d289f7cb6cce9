# The address matching is linked in directly as well as exercised through the module.
target_sources(${suite} PRIVATE ${CMAKE_SOURCE_DIR}/control/site_lock.cpp)
