target_link_libraries(${suite} PRIVATE zarn_support)
# Its keys are its own (one per process).
set(suite_locks "")
