target_sources(${bench} PRIVATE ${CMAKE_SOURCE_DIR}/select/folder_walk.cpp)
