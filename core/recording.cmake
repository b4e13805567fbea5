# Event recording: local store and XML posting.
target_sources(zepta_core PRIVATE
  DriverRecording.cpp
)
