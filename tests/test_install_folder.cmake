# The install folder and version routines are linked in directly as well as
# being exercised through the module.
target_link_libraries(${suite} PRIVATE zarn_control)
# Per-program Wine settings of its own executable only.
set(suite_locks "")
