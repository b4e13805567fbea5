zepta_test(test_config SOURCES test_config.cpp LIBS zepta_gui)
