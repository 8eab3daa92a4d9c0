# libpq and OpenSSL for the Windows build, linked statically: scripts/windows_line_libs.sh builds
# them from Debian's own postgresql-15 and openssl source packages and keeps them in a cache
# outside the checkout, keyed by the source versions; build/windows-line-libs points at the
# set it made. Provides PostgreSQL::PostgreSQL as find_package(PostgreSQL) does on Linux.
if(TARGET PostgreSQL::PostgreSQL)
  return()
endif()
set(QZ_WINDOWS_LINE_LIBS ${PROJECT_SOURCE_DIR}/build/windows-line-libs CACHE PATH
  "Folder with libpq and OpenSSL built for Windows from Debian's source packages")
if(NOT EXISTS ${QZ_WINDOWS_LINE_LIBS}/lib/libpq.a)
  message(FATAL_ERROR "No libpq for Windows in ${QZ_WINDOWS_LINE_LIBS}: run "
    "scripts/windows_line_libs.sh (scripts/setup.sh runs it)")
endif()
file(REAL_PATH ${QZ_WINDOWS_LINE_LIBS} qz_line_libs)
message(STATUS "libpq and OpenSSL for Windows: ${qz_line_libs}")

add_library(qz_windows_libpq INTERFACE)
target_include_directories(qz_windows_libpq SYSTEM INTERFACE ${qz_line_libs}/include)
# the order the linker needs: libpq, PostgreSQL's common and port code, OpenSSL, then Windows
target_link_libraries(qz_windows_libpq INTERFACE
  ${qz_line_libs}/lib/libpq.a ${qz_line_libs}/lib/libpgcommon.a ${qz_line_libs}/lib/libpgport.a
  ${qz_line_libs}/lib/libssl.a ${qz_line_libs}/lib/libcrypto.a
  ws2_32 secur32 crypt32 gdi32 advapi32 user32 shell32 wldap32)
add_library(PostgreSQL::PostgreSQL ALIAS qz_windows_libpq)
