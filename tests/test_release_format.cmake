# The manifest and signature parsers are linked in as product code.
target_sources(${suite} PRIVATE ${CMAKE_SOURCE_DIR}/update/release_check.cpp
    ${CMAKE_SOURCE_DIR}/update/cng.cpp ${ZARN_RELEASE_KEYS_SOURCE})
