# Waits out the two-minute send limit.
set_tests_properties(${suite} PROPERTIES TIMEOUT 400 LABELS slow)
