# The pickers' suites create the control through its registration and talk
# to it by its interface IDs; the dialog helpers are linked in as seams for
# the cases a person cannot reach through the window (a small result area).
target_sources(${suite} PRIVATE ${CMAKE_BINARY_DIR}/generated/Web_Control_i.c
    ${CMAKE_SOURCE_DIR}/select/selection_area.cpp ${CMAKE_SOURCE_DIR}/select/file_dialog.cpp
    ${CMAKE_SOURCE_DIR}/select/picked_file.cpp)
add_dependencies(${suite} zarn_typelib)
