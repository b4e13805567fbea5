# Export, count and purge of the saved events.
target_sources(zepta_core PRIVATE DriverExport.cpp)
