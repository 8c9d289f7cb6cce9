# Pages that only raise events and refuse bad calls: no shared state.
set(suite_locks "")
