# Created through its registration and addressed by its interface IDs.
target_sources(${suite} PRIVATE ${CMAKE_BINARY_DIR}/generated/Web_Control_i.c)
add_dependencies(${suite} zarn_typelib)
