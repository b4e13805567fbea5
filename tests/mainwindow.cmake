# The event catalogue and the main window's GPS display and palette.
zepta_test(test_catalogue SOURCES test_catalogue.cpp)
zepta_test(test_mainwindow SOURCES test_mainwindow.cpp LIBS zepta_gui)
