target_sources(${bench} PRIVATE ${CMAKE_SOURCE_DIR}/update/release_check.cpp
    ${CMAKE_SOURCE_DIR}/update/cng.cpp ${ZARN_RELEASE_KEYS_SOURCE})
target_link_libraries(${bench} PRIVATE bcrypt)
