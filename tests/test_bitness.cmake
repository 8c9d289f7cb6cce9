# The install folder resolver is linked in directly; the rest is read from
# the registration and through script hosts. It reads shared state only.
target_link_libraries(${suite} PRIVATE zarn_control)
set(suite_locks "")
