# A Korean system: Wine takes code page 949 from the locale.
set_property(TEST ${suite} APPEND PROPERTY ENVIRONMENT LC_ALL=ko_KR.UTF-8)
# Reads the control's log lines: viewer windows are found desktop-wide.
set_property(TEST ${suite} APPEND PROPERTY RESOURCE_LOCK log_viewer)
