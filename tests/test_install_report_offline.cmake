target_sources(${suite} PRIVATE ${CMAKE_SOURCE_DIR}/update/internet_file.cpp
    ${CMAKE_SOURCE_DIR}/support/registryex.cpp)
