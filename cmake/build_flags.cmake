# Every compile and link flag of the project, for every target and platform.
# Flags given on the command line (CMAKE_CXX_FLAGS, CMAKE_EXE_LINKER_FLAGS, as
# scripts/package.sh passes Debian's hardening flags) come before these, so
# the ones that exactness needs win over anything a builder adds.

# Every printed number and written byte must be the same on every build: no
# fused multiply-add contraction, no fast-math reassociation, in the programs
# and in the tests and benchmarks that compare with them.
add_compile_options(-ffp-contract=off -fno-fast-math)

# 64-bit file positions wherever the C library has a choice (32-bit Linux, MinGW).
add_compile_definitions(_FILE_OFFSET_BITS=64)

add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion)
option(ABCHR_WERROR "Treat warnings as errors" OFF)
if(ABCHR_WERROR)
  add_compile_options(-Werror)
endif()

option(ABCHR_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(ABCHR_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
endif()

# Linux programs link the C and C++ libraries dynamically, as the system's
# packages expect; a Windows user has no such libraries, so each .exe carries
# libgcc, libstdc++ and winpthread inside it.
if(MINGW)
  add_link_options(-static)
  # printf from MinGW's own C99 implementation, which prints doubles with the
  # same digits as glibc; the system's msvcrt rounds some of them otherwise.
  add_compile_definitions(__USE_MINGW_ANSI_STDIO=1)
  # Windows keeps the stack aligned to 16 bytes only, and GCC may spill AVX
  # registers there with moves that need 32: the assembler makes every aligned
  # vector move an unaligned one, which costs nothing on aligned data.
  add_compile_options(-Wa,-muse-unaligned-vector-move)
endif()
