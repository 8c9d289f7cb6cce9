# Serves the update dialog's files and rewrites them; the pickers' trees live
# at the root of drive C: (see selrig::DriveCScratch).
set_property(TEST ${suite} APPEND PROPERTY FIXTURES_REQUIRED updateserver)
set_property(TEST ${suite} APPEND PROPERTY RESOURCE_LOCK updateserver_files)
# The update lock's name, to leave one abandoned.
target_sources(${suite} PRIVATE ${CMAKE_SOURCE_DIR}/update/update_lock.cpp)
