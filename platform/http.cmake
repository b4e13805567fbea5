# The synchronous HTTP POST used by the XML posting of events.
target_sources(zepta_platform PRIVATE
  HttpPost.h HttpPost.cpp
)
target_link_libraries(zepta_platform PUBLIC CURL::libcurl)
