# cpp-httplib for the Windows build, compiled in: the one-header library that scripts/setup.sh
# takes from Debian's cpp-httplib source package, the very version the Linux build links
# (libcpp-httplib-dev), in build/cpp-httplib/VERSION. Provides the target qz_cpp_httplib.
if(TARGET qz_cpp_httplib)
  return()
endif()
include(${CMAKE_CURRENT_LIST_DIR}/debian_source_folder.cmake)
qz_debian_source_folder(QZ_CPP_HTTPLIB_DIR libcpp-httplib-dev cpp-httplib httplib.h
  "the one-header httplib.h from Debian's cpp-httplib source package")
add_library(qz_cpp_httplib INTERFACE)
target_include_directories(qz_cpp_httplib SYSTEM INTERFACE ${QZ_CPP_HTTPLIB_DIR})
# Windows 8's socket functions (inet_pton, ...) are what the header is written against
target_compile_definitions(qz_cpp_httplib INTERFACE _WIN32_WINNT=0x0A00)
