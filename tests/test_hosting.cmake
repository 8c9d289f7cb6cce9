# The control in an ATL container of its own: no shared state.
set(suite_locks "")
