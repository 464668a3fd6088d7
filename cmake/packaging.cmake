# Packages made by cpack from the install rules: a .deb for Debian and its
# derivatives (amd64 or arm64, from the build's target processor), a .zip for
# Windows. scripts/package.sh makes all three, with Debian's hardening flags.
set(CPACK_PACKAGE_NAME abchr-tools)
set(CPACK_PACKAGE_VENDOR "abchr-tools")
set(CPACK_PACKAGE_CONTACT "abchr-tools maintainers <maintainers@abchr-tools.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "prepare and align stimuli for ABC/HR listening tests, clean console logs")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

set(ABCHR_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/abchr-tools)

# The licence: LICENSE.txt beside the .exe files; on Linux the package's
# copyright file, in Debian's machine-readable format, made from LICENSE so
# that the text exists once.
if(WIN32)
  install(FILES LICENSE DESTINATION . RENAME LICENSE.txt)
else()
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
  string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" copyright_line "${licence}")
  set(holders ${CMAKE_MATCH_1})
  string(FIND "${licence}" "Permission is hereby granted" start)
  string(SUBSTRING "${licence}" ${start} -1 terms)
  string(STRIP "${terms}" terms)
  # A licence paragraph's text is indented by one space; an empty line is " .".
  string(REGEX REPLACE "\n\n" "\n.\n" terms "${terms}")
  string(REGEX REPLACE "\n" "\n " terms "${terms}")
  set(copyright_out ${PROJECT_BINARY_DIR}/packaging/copyright)
  file(WRITE ${copyright_out}.new "\
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: abchr-tools
Upstream-Contact: ${CPACK_PACKAGE_CONTACT}

Files: *
Copyright: ${holders}
License: Expat

License: Expat
 ${terms}
")
  configure_file(${copyright_out}.new ${copyright_out} COPYONLY)
  install(FILES ${copyright_out} DESTINATION ${ABCHR_DOCDIR})

  # The changelog, in Debian's format, compressed as Debian's policy asks. Its
  # newest entry must be this version: a new version needs its entry.
  set(changelog ${PROJECT_SOURCE_DIR}/packaging/changelog)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${changelog} ${PROJECT_SOURCE_DIR}/LICENSE)
  file(STRINGS ${changelog} newest LIMIT_COUNT 1)
  if(NOT newest MATCHES "^abchr-tools \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "packaging/changelog has no entry for version ${PROJECT_VERSION} at its top")
  endif()
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/packaging/changelog.gz
                     COMMAND ${ABCHR_GZIP} -9n -c ${changelog} > changelog.gz
                     DEPENDS ${changelog}
                     WORKING_DIRECTORY ${PROJECT_BINARY_DIR}/packaging
                     VERBATIM)
  add_custom_target(changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/changelog.gz DESTINATION ${ABCHR_DOCDIR})

  # A stripped install (cpack, cmake --install --strip) also drops the
  # compiler's .comment and .note sections, which nothing reads at run time.
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      foreach(program wavmatch2 logsweep abchr-prepare)
        execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
                                \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\${program}\"
                        COMMAND_ERROR_IS_FATAL ANY)
      endforeach()
    endif()")
endif()

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(CPACK_GENERATOR DEB)
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64|ARM64)$")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
  endif()
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION sound)
  # The dependencies, from the libraries the programs link and the symbol
  # versions they use (dpkg-shlibdeps). For a cross build, scripts/package.sh
  # runs dpkg-shlibdeps on the target's library packages and hands cpack the
  # result.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # abchr-prepare runs ffmpeg and ffprobe for every song, and opusdec where it
  # is installed; the other two programs need neither.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS ffmpeg)
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS opus-tools)
  # lintian's notes on what it cannot tell apart from a fault, with the reason.
  set(CPACK_ABCHR_LINTIAN_OVERRIDES ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides)
  set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/deb_staging.cmake)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "abchr-prepare decodes a song's original and its lossy encodings and writes\n\
them as verified, aligned, loudness-matched 16-bit WAV stimuli for an ABC/HR\n\
listening test, with a report; wavmatch2 aligns decoded files to their original\n\
in time and level and writes them as 16-bit raw stimuli; logsweep replays the\n\
carriage returns of a captured console log.")
endif()

include(CPack)
