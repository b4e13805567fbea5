# The event catalogue of module Driver.
target_sources(zepta_core PRIVATE ${CMAKE_CURRENT_LIST_DIR}/DriverCatalogue.cpp)
