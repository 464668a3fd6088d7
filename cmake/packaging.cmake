# Packages made by cpack from the install rules: a .deb for Debian and its
# derivatives (amd64 or arm64, from the build's target processor), a .zip for
# Windows. scripts/package.sh makes all three.
set(CPACK_PACKAGE_NAME abchr-tools)
set(CPACK_PACKAGE_VENDOR "abchr-tools")
set(CPACK_PACKAGE_CONTACT "abchr-tools maintainers <maintainers@abchr-tools.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "wavmatch2 and logsweep: align decoded tracks for ABC/HR tests, clean console logs")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)

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
  # Built with GCC 12 against glibc 2.36 (Debian 12); a cross build has no
  # dpkg-shlibdeps for its target, so the dependencies are named here.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 12)")
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "wavmatch2 aligns decoded lossy files to their original in time and level\n\
and writes them as 16-bit raw stimuli for an ABC/HR listening test; logsweep\n\
replays the carriage returns of a captured console log.")
endif()

include(CPack)
