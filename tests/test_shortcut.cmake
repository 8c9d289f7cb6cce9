# The icon comes from the update server stand-in; the desktop shortcut and
# zarn1.ico in its web root are shared with the other shortcut suite.
set_property(TEST ${suite} APPEND PROPERTY FIXTURES_REQUIRED updateserver)
set_property(TEST ${suite} APPEND PROPERTY RESOURCE_LOCK updateserver_files zarn_desktop)
