# The control through COM only: no settings, programs or dialogs.
set(suite_locks "")
