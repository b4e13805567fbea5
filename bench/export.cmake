# Export of 100,000 events (scripts/bench-export runs it beside sqlite3).
add_executable(export_bench export_bench.cpp)
target_link_libraries(export_bench PRIVATE zepta_core nomrel zepta_warnings)
target_compile_definitions(export_bench PRIVATE
  ZEPTA_PROGRAM_DIR="${ZEPTA_PROGRAM_DIR}" ZEPTA_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
add_dependencies(export_bench zepta_database)
