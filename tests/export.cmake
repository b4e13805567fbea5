# Export and purge; the menu commands of the main window.
zepta_test(test_export SOURCES test_export.cpp)
zepta_test(test_commands SOURCES test_commands.cpp LIBS zepta_gui)
# The help test reads the help file of the program folder.
add_dependencies(test_commands zepta_help)
