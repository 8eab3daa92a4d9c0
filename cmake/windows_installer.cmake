# The Windows setup program (NSIS, Debian's nsis): qz670x-mp-setup-VERSION.exe in the build
# folder, made by the `installer` target (part of the default build when makensis is there).
find_program(QZ_MAKENSIS makensis)
if(NOT QZ_MAKENSIS)
  message(STATUS "makensis not found: no `installer` target (scripts/setup.sh installs nsis)")
  return()
endif()

set(QZ_SETUP_EXE ${PROJECT_BINARY_DIR}/qz670x-mp-setup-${PROJECT_VERSION}.exe)
set(qz_nsi ${PROJECT_SOURCE_DIR}/packaging/windows/installer.nsi)
# the programs are gathered in one folder for the script
set(qz_bin_dir ${PROJECT_BINARY_DIR}/installer-files)
add_custom_command(OUTPUT ${QZ_SETUP_EXE}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${qz_bin_dir}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:qz670x-mp> $<TARGET_FILE:qz670x-mp-cli>
          $<TARGET_FILE:qz670x-make-image> ${qz_bin_dir}
  COMMAND ${QZ_MAKENSIS} -V2 -NOCD
          -DVERSION=${PROJECT_VERSION} -DBIN_DIR=${qz_bin_dir}
          -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DOUT_FILE=${QZ_SETUP_EXE} ${qz_nsi}
  DEPENDS ${qz_nsi} qz670x-mp qz670x-mp-cli qz670x-make-image
          ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
          ${PROJECT_SOURCE_DIR}/packaging/windows/THIRD-PARTY-NOTICES.txt
          ${PROJECT_SOURCE_DIR}/packaging/windows/qz670x-mp.ico
  COMMENT "NSIS: qz670x-mp-setup-${PROJECT_VERSION}.exe"
  VERBATIM)
add_custom_target(installer ALL DEPENDS ${QZ_SETUP_EXE})
