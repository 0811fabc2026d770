# Game location and module restoration. The test executable carries the
# module store itself, as the product does.
cf_add_gtest(test_game_repair game_repair_test.cpp LIBS cf_repair game_fixture)
cf_add_module_store(test_game_repair)
add_dependencies(test_game_repair holdfile)
cf_store_dir_definition(test_game_repair)
