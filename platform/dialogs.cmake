# The platform's dialogs that windows open: the file-save dialog and the help
# viewer, each behind a seam that tests replace.
target_sources(zepta_platform_gui PRIVATE
  FileDialog.h FileDialog.cpp
  HelpViewer.h HelpViewer.cpp
)
