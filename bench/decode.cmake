# NMEA decoding throughput over all logs of tests/data/nmea (scripts/bench-decode runs it
# beside gpsdecode).
add_executable(decode_bench decode_bench.cpp)
target_link_libraries(decode_bench PRIVATE nomrel_nmea zepta_warnings)
set_target_properties(decode_bench PROPERTIES AUTOMOC OFF)
target_compile_definitions(decode_bench PRIVATE ZEPTA_NMEA_DIR="${CMAKE_SOURCE_DIR}/tests/data/nmea/gpsd")
