# Counts the update server's requests and starts the transfer stand-ins.
set_property(TEST ${suite} APPEND PROPERTY FIXTURES_REQUIRED updateserver)
set_property(TEST ${suite} APPEND PROPERTY RESOURCE_LOCK updateserver_files)
