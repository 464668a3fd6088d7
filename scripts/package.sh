#!/usr/bin/env bash
# Makes the packages with cpack, in build-package/ (PACKAGE_DIR chooses another
# folder): a .deb for amd64 and one for arm64 (both programs, their man pages,
# the README, the copyright file and the changelog), and a .zip for 64-bit
# Windows (both .exe files, the README and LICENSE.txt). Arguments choose among
# amd64, arm64 and win64 (default: all three). The .deb files are built with
# Debian's hardening flags (dpkg-buildflags) on top of the project's own.
# Installs what it lacks with apt-get, as scripts/install-deps.sh does: the
# cross compilers, and for arm64 the target's C and C++ libraries as arm64
# packages, from which dpkg-shlibdeps computes the package's dependencies.
#   scripts/package.sh [amd64] [arm64] [win64]
set -euo pipefail
cd "$(dirname "$0")/.."
out=${PACKAGE_DIR:-build-package}
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(amd64 arm64 win64)

needs=()
for t in "${targets[@]}"; do
  case $t in
    amd64) needs+=(dpkg-dev) ;;
    arm64) needs+=(dpkg-dev g++-aarch64-linux-gnu libc6:arm64 libstdc++6:arm64 libgcc-s1:arm64) ;;
    win64) needs+=(g++-mingw-w64-x86-64) ;;
    *) echo "package.sh: unknown target $t (amd64, arm64 or win64)" >&2; exit 2 ;;
  esac
done
if [[ " ${needs[*]} " == *":arm64 "* ]] && ! dpkg --print-foreign-architectures | grep -qx arm64 &&
   [ "$(dpkg --print-architecture)" != arm64 ] && [ "$(id -u)" = 0 ]; then
  dpkg --add-architecture arm64
fi
bash scripts/install-deps.sh "${needs[@]}"

mkdir -p "$out"
made=()
for t in "${targets[@]}"; do
  flags=(-DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF)
  host=()
  case $t in
    arm64) flags+=(-DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake)
           host=(DEB_HOST_ARCH=arm64 CC=aarch64-linux-gnu-gcc) ;;
    win64) flags+=(-DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/x86_64-w64-mingw32.cmake) ;;
  esac
  if [ "$t" != win64 ]; then
    # Stack protector, fortified C library calls, read-only relocations bound
    # at start-up, position-independent executables. Only the hardening is
    # taken: the project's Release flags come after these and keep -O3.
    buildflags() { env "${host[@]}" DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
    cppflags=$(buildflags CPPFLAGS)
    cxxflags=$(buildflags CXXFLAGS)
    ldflags=$(buildflags LDFLAGS)
    flags+=("-DCMAKE_CXX_FLAGS=$cppflags $cxxflags" "-DCMAKE_EXE_LINKER_FLAGS=$ldflags")
  fi
  echo "== $t"
  log=$out/$t.log
  { cmake -S . -B "$out/$t" "${flags[@]}" && cmake --build "$out/$t" -j "$(nproc)" &&
    (cd "$out/$t" && env "${host[@]}" cpack -B "$(cd .. && pwd)"); } > "$log" 2>&1 || { tail -20 "$log"; exit 1; }
  while IFS= read -r package; do made+=("$package"); done < <(sed -n 's/^CPack: - package: \(.*\) generated\.$/\1/p' "$log")
done
rm -rf "$out/_CPack_Packages"
ls -l "${made[@]}"
