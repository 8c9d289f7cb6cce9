set(suite_locks "")
