# zepta-listener: the HTTP listener that receives posted XML event documents.
add_library(zepta_listener_core STATIC
  listener_core.h listener_core.cpp
)
target_include_directories(zepta_listener_core PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(zepta_listener_core PUBLIC Qt6::Core Qt6::Network Qt6::Xml PRIVATE zepta_warnings)

add_executable(zepta-listener zepta_listener.cpp)
target_link_libraries(zepta-listener PRIVATE zepta_listener_core zepta_warnings)
