target_sources(zepta_gui PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/frmConfig.h
  ${CMAKE_CURRENT_LIST_DIR}/frmConfig.cpp
)
