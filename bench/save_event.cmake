# Time of one Save_Event in LOCAL mode beside a bare SQLite insert and commit.
add_executable(save_event_bench save_event_bench.cpp)
target_link_libraries(save_event_bench PRIVATE zepta_core nomrel SQLite::SQLite3 zepta_warnings)
target_compile_definitions(save_event_bench PRIVATE ZEPTA_PROGRAM_DIR="${ZEPTA_PROGRAM_DIR}")
add_dependencies(save_event_bench zepta_database nomrel_database)
