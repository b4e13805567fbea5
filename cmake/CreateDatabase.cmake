# Builds the SQLite database DB from the script SQL unless DB exists already:
# a rebuild must never replace a user's data.
if(EXISTS "${DB}")
  return()
endif()
find_program(SQLITE3 sqlite3 REQUIRED)
execute_process(COMMAND ${SQLITE3} "${DB}.new" INPUT_FILE "${SQL}" RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  file(REMOVE "${DB}.new")
  message(FATAL_ERROR "Could not build ${DB}: ${err}")
endif()
file(RENAME "${DB}.new" "${DB}")
message(STATUS "Created ${DB}")
