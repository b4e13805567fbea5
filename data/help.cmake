# The HTML help, copied beside the program. Every file under help/ goes; a
# changed file is copied again on the next build.
file(GLOB ZEPTA_HELP_FILES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/help/*)
set(ZEPTA_HELP_STAMP ${CMAKE_CURRENT_BINARY_DIR}/help.stamp)
add_custom_command(OUTPUT ${ZEPTA_HELP_STAMP}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${ZEPTA_PROGRAM_DIR}
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${ZEPTA_HELP_FILES} ${ZEPTA_PROGRAM_DIR}
  COMMAND ${CMAKE_COMMAND} -E touch ${ZEPTA_HELP_STAMP}
  DEPENDS ${ZEPTA_HELP_FILES}
  VERBATIM)
add_custom_target(zepta_help ALL DEPENDS ${ZEPTA_HELP_STAMP} SOURCES ${ZEPTA_HELP_FILES})
