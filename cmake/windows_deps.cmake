# Dependencies of the Windows build. CLI11 and nlohmann-json are header-only: their Debian
# headers are linked into a build-time include folder of their own, so /usr/include (the build
# machine's system headers) never reaches the cross compiler. GoogleTest is built from Debian's
# source package by the same toolchain.
set(qz_header_root ${PROJECT_BINARY_DIR}/third_party/include)
file(MAKE_DIRECTORY ${qz_header_root})
foreach(dir CLI nlohmann toml++)
  if(NOT EXISTS /usr/include/${dir})
    message(FATAL_ERROR "/usr/include/${dir} is missing: run scripts/setup.sh")
  endif()
  if(NOT EXISTS ${qz_header_root}/${dir})
    file(CREATE_LINK /usr/include/${dir} ${qz_header_root}/${dir} SYMBOLIC)
  endif()
endforeach()

add_library(qz_cli11_headers INTERFACE)
target_include_directories(qz_cli11_headers SYSTEM INTERFACE ${qz_header_root})
add_library(CLI11::CLI11 ALIAS qz_cli11_headers)
add_library(qz_json_headers INTERFACE)
target_include_directories(qz_json_headers SYSTEM INTERFACE ${qz_header_root})
add_library(nlohmann_json::nlohmann_json ALIAS qz_json_headers)

if(QZ_BUILD_TESTS)
  set(QZ_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources (Debian: googletest)")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  add_subdirectory(${QZ_GOOGLETEST_SOURCE} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # (recent GoogleTest releases define the GTest:: names themselves)
  foreach(name gtest gtest_main gmock)
    if(NOT TARGET GTest::${name})
      add_library(GTest::${name} ALIAS ${name})
    endif()
  endforeach()
endif()
