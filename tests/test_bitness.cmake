# The install folder resolver is linked in directly; the rest is read from
# the registration and through script hosts. It reads shared state only.
target_sources(${suite} PRIVATE ${CMAKE_SOURCE_DIR}/control/install_folder.cpp)
set(suite_locks "")
