# The walk on its own (a seam, with a recording sink) and through the page
# host on a hostile tree that a fixture builds on the host side, in the
# prefix's drive C: where the folder browser can select it.
target_link_libraries(${suite} PRIVATE zarn_select zarn_interface_ids)
add_test(NAME walk_hostile_tree COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/test_walk_tree.sh
    ${CMAKE_BINARY_DIR}/wineprefix/drive_c/zarn-hostile)
set_tests_properties(walk_hostile_tree PROPERTIES FIXTURES_SETUP walk_hostile_tree
    FIXTURES_REQUIRED module_registered)
set_tests_properties(${suite} PROPERTIES FIXTURES_REQUIRED "module_registered;walk_hostile_tree")
