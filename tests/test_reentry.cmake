# Serves the update dialog's files and rewrites them; the pickers' trees live
# at the root of drive C: (see selrig::DriveCScratch).
set_property(TEST ${suite} APPEND PROPERTY FIXTURES_REQUIRED updateserver)
set_property(TEST ${suite} APPEND PROPERTY RESOURCE_LOCK updateserver_files)
# The update lock's name, to leave one abandoned.
target_link_libraries(${suite} PRIVATE zarn_update)
