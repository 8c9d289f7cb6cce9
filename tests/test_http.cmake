target_sources(${suite} PRIVATE ${CMAKE_SOURCE_DIR}/support/log.cpp
    ${CMAKE_SOURCE_DIR}/update/http.cpp ${CMAKE_SOURCE_DIR}/update/internet_file.cpp
    ${CMAKE_SOURCE_DIR}/update/output_file.cpp)
# Fixed product file names on the server are shared by suites: tests here use
# names of their own, but take the log viewer lock (viewer windows are found
# desktop-wide).
set_tests_properties(${suite} PROPERTIES FIXTURES_REQUIRED "module_registered;updateserver"
    RESOURCE_LOCK log_viewer)
