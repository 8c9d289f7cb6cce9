target_sources(${bench} PRIVATE ${ZARN_RELEASE_KEYS_SOURCE})
target_link_libraries(${bench} PRIVATE zarn_update)
target_link_libraries(${bench} PRIVATE bcrypt)
