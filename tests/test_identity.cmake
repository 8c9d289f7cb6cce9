# The type library's help texts are read back as a Korean system reads them.
set_property(TEST ${suite} APPEND PROPERTY ENVIRONMENT "LC_ALL=ko_KR.UTF-8")
target_link_libraries(${suite} PRIVATE version)
