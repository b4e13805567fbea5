# Recording, XML posting with the listener program, and capture in the main window.
add_library(zepta_test_listener STATIC ListenerProcess.h ListenerProcess.cpp)
target_link_libraries(zepta_test_listener PUBLIC zepta_listener_core Qt6::Core PRIVATE zepta_warnings)
target_compile_definitions(zepta_test_listener PRIVATE ZEPTA_LISTENER="$<TARGET_FILE:zepta-listener>")
add_dependencies(zepta_test_listener zepta-listener)

zepta_test(test_recording SOURCES test_recording.cpp LIBS zepta_test_listener)
zepta_test(test_xmlpost SOURCES test_xmlpost.cpp LIBS zepta_test_listener Qt6::Network)
zepta_test(test_capture SOURCES test_capture.cpp LIBS zepta_gui)
