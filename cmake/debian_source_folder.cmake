# Where scripts/setup.sh keeps a library it took from Debian's own source package for the
# Windows build: build/NAME/VERSION, VERSION being that of DEV_PACKAGE, the package the Linux
# build links. Sets the cache variable VAR (a given one is kept) and stops, saying what to run,
# when FILE is not in the folder.
function(qz_debian_source_folder var dev_package name file what)
  if(NOT ${var})
    execute_process(COMMAND dpkg-query -W -f=\${Version} ${dev_package}
      OUTPUT_VARIABLE version RESULT_VARIABLE query ERROR_QUIET)
    if(NOT query EQUAL 0 OR version STREQUAL "")
      message(FATAL_ERROR "${dev_package} is not installed: run scripts/setup.sh")
    endif()
    set(${var} ${PROJECT_SOURCE_DIR}/build/${name}/${version})
  endif()
  set(${var} ${${var}} CACHE PATH "Folder with ${what}")
  if(NOT EXISTS ${${var}}/${file})
    message(FATAL_ERROR "No ${file} in ${${var}}: run scripts/setup.sh, which takes ${what}")
  endif()
endfunction()
