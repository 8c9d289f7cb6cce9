# The manifest and signature parsers are linked in as product code.
target_sources(${suite} PRIVATE ${ZARN_RELEASE_KEYS_SOURCE})
target_link_libraries(${suite} PRIVATE zarn_update)
