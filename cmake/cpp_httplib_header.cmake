# cpp-httplib for the Windows build, compiled in: the one-header library that scripts/setup.sh
# takes from Debian's cpp-httplib source package, the very version the Linux build links
# (libcpp-httplib-dev), in build/cpp-httplib/VERSION. Provides the target qz_cpp_httplib.
if(TARGET qz_cpp_httplib)
  return()
endif()
if(NOT QZ_CPP_HTTPLIB_DIR)
  execute_process(COMMAND dpkg-query -W -f=\${Version} libcpp-httplib-dev
    OUTPUT_VARIABLE qz_httplib_version RESULT_VARIABLE qz_httplib_query ERROR_QUIET)
  if(NOT qz_httplib_query EQUAL 0 OR qz_httplib_version STREQUAL "")
    message(FATAL_ERROR "libcpp-httplib-dev is not installed: run scripts/setup.sh")
  endif()
  set(QZ_CPP_HTTPLIB_DIR ${PROJECT_SOURCE_DIR}/build/cpp-httplib/${qz_httplib_version})
endif()
set(QZ_CPP_HTTPLIB_DIR ${QZ_CPP_HTTPLIB_DIR} CACHE PATH
  "Folder with the one-header httplib.h from Debian's cpp-httplib source package")
if(NOT EXISTS ${QZ_CPP_HTTPLIB_DIR}/httplib.h)
  message(FATAL_ERROR "No httplib.h in ${QZ_CPP_HTTPLIB_DIR}: run scripts/setup.sh, which takes "
    "it from Debian's cpp-httplib source package")
endif()
add_library(qz_cpp_httplib INTERFACE)
target_include_directories(qz_cpp_httplib SYSTEM INTERFACE ${QZ_CPP_HTTPLIB_DIR})
# Windows 8's socket functions (inet_pton, ...) are what the header is written against
target_compile_definitions(qz_cpp_httplib INTERFACE _WIN32_WINNT=0x0A00)
