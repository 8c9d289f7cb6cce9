# Reads the control's log lines: viewer windows are found desktop-wide.
set_property(TEST ${suite} APPEND PROPERTY RESOURCE_LOCK log_viewer)
