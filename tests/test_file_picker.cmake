# The pickers' suites create the control through its registration and talk
# to it by its interface IDs; the dialog helpers are linked in as seams for
# the cases a person cannot reach through the window (a small result area).
target_link_libraries(${suite} PRIVATE zarn_select zarn_interface_ids)
