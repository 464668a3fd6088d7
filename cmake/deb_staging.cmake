# Run by cpack on the staged files, before it makes the .deb: what only the
# package carries, not an install from source.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(overrides ${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/share/lintian/overrides)
  file(MAKE_DIRECTORY ${overrides})
  file(COPY_FILE ${CPACK_ABCHR_LINTIAN_OVERRIDES} ${overrides}/abchr-tools)
endif()
