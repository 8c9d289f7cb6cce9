target_sources(${bench} PRIVATE ${CMAKE_SOURCE_DIR}/support/log.cpp
    ${CMAKE_SOURCE_DIR}/update/http.cpp ${CMAKE_SOURCE_DIR}/update/internet_file.cpp
    ${CMAKE_SOURCE_DIR}/update/output_file.cpp)
