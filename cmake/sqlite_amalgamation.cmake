# SQLite for the Windows build, compiled into the programs: the amalgamation that
# scripts/setup.sh makes from Debian's own sqlite3 source package, the very version the Linux
# build links (libsqlite3-dev), in build/sqlite3/VERSION. Provides SQLite::SQLite3 as
# find_package(SQLite3) does on Linux.
if(TARGET SQLite::SQLite3)
  return()
endif()
include(${CMAKE_CURRENT_LIST_DIR}/debian_source_folder.cmake)
qz_debian_source_folder(QZ_SQLITE_AMALGAMATION_DIR libsqlite3-dev sqlite3 sqlite3.c
  "sqlite3.c and sqlite3.h made from Debian's sqlite3 source package")
message(STATUS "SQLite: ${QZ_SQLITE_AMALGAMATION_DIR}")

enable_language(C)
add_library(qz_sqlite3 STATIC ${QZ_SQLITE_AMALGAMATION_DIR}/sqlite3.c)
target_include_directories(qz_sqlite3 SYSTEM PUBLIC ${QZ_SQLITE_AMALGAMATION_DIR})
# The options of Debian's own build (debian/rules) that change how a database behaves, so that
# a log behaves alike on both platforms; no extension loading in a station's program, and file
# names only through the wide (UTF-16) Windows functions.
target_compile_definitions(qz_sqlite3 PRIVATE SQLITE_THREADSAFE=1 SQLITE_SECURE_DELETE
  SQLITE_USE_URI=1 SQLITE_MAX_SCHEMA_RETRY=25 SQLITE_MAX_VARIABLE_NUMBER=250000
  SQLITE_LIKE_DOESNT_MATCH_BLOBS SQLITE_ENABLE_UNLOCK_NOTIFY SQLITE_ENABLE_COLUMN_METADATA
  SQLITE_ENABLE_DBSTAT_VTAB SQLITE_OMIT_LOAD_EXTENSION SQLITE_WIN32_NO_ANSI)
# Not our code: its own warnings stay out of the build's fatal ones.
target_compile_options(qz_sqlite3 PRIVATE -w)
add_library(SQLite::SQLite3 ALIAS qz_sqlite3)
