# utfcpp (Debian libutfcpp-dev), header-only: the one UTF-8 decoder of every
# program, as the target utf8cpp. A cross build looks in its own root and
# finds no package there; the headers are the same for every target, so
# Debian's copy serves, copied alone into the build, since the host's
# /usr/include must not stand before the target's.
find_package(utf8cpp QUIET)
if(NOT TARGET utf8cpp)
  find_path(ABCHR_UTFCPP_ROOT utf8.h PATHS /usr/include/utf8cpp NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  file(COPY ${ABCHR_UTFCPP_ROOT}/utf8.h ${ABCHR_UTFCPP_ROOT}/utf8 DESTINATION ${CMAKE_BINARY_DIR}/utfcpp)
  add_library(utf8cpp INTERFACE IMPORTED GLOBAL)
  target_include_directories(utf8cpp INTERFACE ${CMAKE_BINARY_DIR}/utfcpp)
endif()
