# The GPS receiver component: NMEA decoding, the receiver on a real
# pseudo-terminal, the event store.
zepta_test(test_nmea SOURCES test_nmea.cpp LIBS nomrel_nmea)
# Real receivers' logs with their expected decodings (from gpsd's regression
# suite, BSD-2-Clause: see tests/data/nmea/gpsd/).
target_compile_definitions(test_nmea PRIVATE ZEPTA_NMEA_DIR="${CMAKE_CURRENT_SOURCE_DIR}/data/nmea/gpsd")

zepta_test(test_receiver SOURCES test_receiver.cpp LIBS nomrel)
target_compile_definitions(test_receiver PRIVATE NOMREL_TOOL="$<TARGET_FILE:nomrel_tool>"
  ZEPTA_NMEA_DIR="${CMAKE_CURRENT_SOURCE_DIR}/data/nmea/gpsd")
add_dependencies(test_receiver nomrel_tool)

zepta_test(test_eventstore SOURCES test_eventstore.cpp LIBS nomrel Qt6::Xml)
