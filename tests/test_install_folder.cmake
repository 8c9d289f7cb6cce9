# The install folder and version routines are linked in directly as well as
# being exercised through the module.
target_sources(${suite} PRIVATE ${CMAKE_SOURCE_DIR}/control/install_folder.cpp
    ${CMAKE_SOURCE_DIR}/control/os_version.cpp)
# Per-program Wine settings of its own executable only.
set(suite_locks "")
