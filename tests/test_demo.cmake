# The demo page end to end. The suite runs inside scripts/demo-setup, which
# prepares the test prefix just as scripts/demo prepares the demo prefix (the
# update server's product files, a Korean machine without the transfer
# programs, the remembered upload folder, the transfer record) and starts the
# watcher that presses OK in the folder browser (tools/dialogpress).
set_target_properties(${suite} PROPERTIES CROSSCOMPILING_EMULATOR
    "${CMAKE_SOURCE_DIR}/scripts/demo-setup;${CMAKE_BINARY_DIR};wineprefix;${ZARN_UPDATESERVER_DIR}/webroot;${ZARN_WINE_RUN}")
add_dependencies(${suite} dialogpress Zarn_setup)
set_property(TEST ${suite} APPEND PROPERTY ENVIRONMENT ${ZARN_KOREAN_ENV})
set_property(TEST ${suite} APPEND PROPERTY FIXTURES_REQUIRED updateserver korean_locale)
# It rewrites the update server's product files and makes the desktop shortcut.
set_property(TEST ${suite} APPEND PROPERTY RESOURCE_LOCK updateserver_files zarn_desktop)
