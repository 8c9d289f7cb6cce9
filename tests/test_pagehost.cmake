# The page host itself, with pages of its own: no shared state.
set(suite_locks "")
