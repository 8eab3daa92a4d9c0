# What the Debian package carries besides the programs: manual pages made from the programs'
# own --help (help2man), bash completion for the command line, the changelog and the copyright
# file. On with QZ_PACKAGE_DOCS (tests/package/run.sh turns it on); plain builds skip it.
option(QZ_PACKAGE_DOCS "Build and install the manual pages, changelog and copyright file" OFF)
if(NOT QZ_PACKAGE_DOCS)
  return()
endif()

find_program(QZ_HELP2MAN help2man REQUIRED)
set(qz_debian ${PROJECT_SOURCE_DIR}/packaging/debian)
set(qz_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/${PROJECT_NAME})

# The changelog's latest entry names the version the package is built as.
file(STRINGS ${qz_debian}/changelog qz_changelog_head LIMIT_COUNT 1)
if(NOT qz_changelog_head MATCHES "^qz670x-mp \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/debian/changelog: its first entry is not version "
    "${PROJECT_VERSION} (${qz_changelog_head}); add an entry for this version")
endif()

set(qz_man_dir ${PROJECT_BINARY_DIR}/man)
file(MAKE_DIRECTORY ${qz_man_dir})
set(qz_man_pages)
# program, what it is (the NAME line), subcommands (--subcommands: all of them)
function(qz_man_page target name)
  set(page ${qz_man_dir}/${target}.1.gz)
  add_custom_command(OUTPUT ${page}
    COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
            sh ${qz_debian}/manpage.sh ${page} $<TARGET_FILE:${target}> ${PROJECT_VERSION}
            ${name} ${qz_debian}/${target}.h2m ${ARGN}
    DEPENDS ${target} ${qz_debian}/manpage.sh ${qz_debian}/${target}.h2m
    COMMENT "help2man: ${target}.1"
    VERBATIM)
  set(qz_man_pages ${qz_man_pages} ${page} PARENT_SCOPE)
endfunction()

qz_man_page(qz670x-mp-cli "write firmware images into QZ670x chips: command line and station"
  --subcommands)
if(TARGET qz670x-mp AND QZ_BUILD_GUI)
  qz_man_page(qz670x-mp "write firmware images into QZ670x chips: the operator's dialog")
endif()
qz_man_page(qz670x-make-image "write sample QZ670x image files")
if(TARGET qz670x-chip-gadget)
  qz_man_page(qz670x-chip-gadget "serve the virtual QZ670x chip as a USB gadget")
endif()

set(qz_changelog ${PROJECT_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${qz_changelog}
  COMMAND sh -c "gzip -9n < '${qz_debian}/changelog' > '${qz_changelog}'"
  DEPENDS ${qz_debian}/changelog
  VERBATIM)
add_custom_target(package_docs ALL DEPENDS ${qz_man_pages} ${qz_changelog})

install(FILES ${qz_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${qz_changelog} ${qz_debian}/copyright DESTINATION ${qz_doc_dir})
install(FILES ${qz_debian}/qz670x-mp-cli.bash-completion
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME qz670x-mp-cli)
