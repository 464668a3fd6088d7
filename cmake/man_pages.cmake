# Man pages carry the project's version in their footer (the .TH line holds
# @PROJECT_VERSION@ in the source) and are installed compressed, as man reads
# them and Debian's policy asks: gzip -9n, without the name and time stamp
# that would make every build's file differ.
find_program(ABCHR_GZIP gzip)

# abchr_install_man_page(PAGE): PAGE is a file in the current source folder
# whose name ends in its section, for example wavmatch2.1.
function(abchr_install_man_page page)
  if(WIN32)
    return()
  endif()
  if(NOT ABCHR_GZIP)
    message(FATAL_ERROR "gzip, which compresses the man pages, is not installed")
  endif()
  set(source ${CMAKE_CURRENT_SOURCE_DIR}/${page})
  set(page_out ${CMAKE_CURRENT_BINARY_DIR}/${page})
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  file(READ ${source} text)
  string(REPLACE "@PROJECT_VERSION@" "${PROJECT_VERSION}" text "${text}")
  # Rewritten only when it changes, so that a new configure compresses nothing.
  file(WRITE ${page_out}.new "${text}")
  configure_file(${page_out}.new ${page_out} COPYONLY)
  add_custom_command(OUTPUT ${page_out}.gz
                     COMMAND ${ABCHR_GZIP} -9n -c ${page} > ${page}.gz
                     DEPENDS ${page_out}
                     WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
                     VERBATIM)
  string(MAKE_C_IDENTIFIER "man_${page}" target)
  add_custom_target(${target} ALL DEPENDS ${page_out}.gz)
  string(REGEX MATCH "[0-9]+$" section ${page})
  install(FILES ${page_out}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endfunction()
