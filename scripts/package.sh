#!/usr/bin/env bash
# Makes the packages with cpack, in build-package/ (PACKAGE_DIR chooses another
# folder): a .deb for amd64 and one for arm64 (every program that the build
# installs: wavmatch2, logsweep, abchr-prepare, with their man pages, the
# README and docs/, the copyright file and the changelog), and a .zip for
# 64-bit Windows (every program's .exe, the README and docs/, and
# LICENSE.txt). Arguments choose among
# amd64, arm64 and win64 (default: all three). The .deb files are built with
# Debian's hardening flags (dpkg-buildflags) on top of the project's own.
# Installs what it lacks with apt-get, as scripts/install-deps.sh does: the
# cross compilers and dpkg-dev. dpkg-shlibdeps computes each package's
# dependencies from its programs; for arm64 it reads the symbols files of the
# target's C and C++ library packages, downloaded and unpacked in the build
# folder (apt-get download, with arm64 added to dpkg's architectures), never
# installed: installed, the target's libraries would replace the cross
# compiler's own for every program run under qemu. Where it registers arm64
# with dpkg for that, it says so, and how to remove it again.
# Each package holds the README with docs/ beside it, where its links lead.
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
    arm64) needs+=(dpkg-dev g++-aarch64-linux-gnu) ;;
    win64) needs+=(g++-mingw-w64-x86-64) ;;
    *) echo "package.sh: unknown target $t (amd64, arm64 or win64)" >&2; exit 2 ;;
  esac
done
bash scripts/install-deps.sh "${needs[@]}"

# target_libraries FOLDER: the arm64 C and C++ library packages, unpacked with
# their control files in FOLDER/<package>.
target_libraries() {
  local folder=$1 p
  mkdir -p "$folder"
  if ! apt-cache show libc6:arm64 > /dev/null 2>&1; then
    if ! dpkg --print-foreign-architectures | grep -qx arm64 && [ "$(id -u)" = 0 ]; then
      dpkg --add-architecture arm64
      echo "package.sh: arm64 is now a foreign architecture of dpkg, to download the arm64 C and C++" \
        "libraries; 'dpkg --remove-architecture arm64' removes it again" >&2
    fi
    [ "$(id -u)" != 0 ] || apt-get update -qq
  fi
  for p in libc6 libstdc++6 libgcc-s1; do
    if [ ! -d "$folder/$p/DEBIAN" ]; then
      (cd "$folder" && rm -f "${p}"_*.deb && apt-get download -qq "$p:arm64" 2> /dev/null)
      dpkg-deb -R "$folder/${p}"_*_arm64.deb "$folder/$p"
    fi
  done
}

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
  cpack_flags=()
  { cmake -S . -B "$out/$t" "${flags[@]}" && cmake --build "$out/$t" -j "$(nproc)"; } > "$log" 2>&1 ||
    { tail -20 "$log"; exit 1; }
  if [ "$t" = arm64 ]; then
    libraries=$(pwd)/$out/arm64-libraries
    target_libraries "$libraries" >> "$log" 2>&1 || { tail -20 "$log"; exit 1; }
    mkdir -p "$out/arm64/shlibdeps/debian"
    : > "$out/arm64/shlibdeps/debian/control"
    depends=$(cd "$out/arm64/shlibdeps" &&
              env "${host[@]}" dpkg-shlibdeps -O -S"$libraries/libc6" -S"$libraries/libstdc++6" \
                -S"$libraries/libgcc-s1" -e ../track_aligner/wavmatch2 -e ../log_cleaner/logsweep \
                -e ../abchr_prepare/abchr-prepare 2>> "../../$t.log") ||
      { tail -20 "$log"; exit 1; }
    cpack_flags=(-D CPACK_DEBIAN_PACKAGE_SHLIBDEPS=OFF -D "CPACK_DEBIAN_PACKAGE_DEPENDS=${depends#shlibs:Depends=}")
  fi
  (cd "$out/$t" && env "${host[@]}" cpack -B "$(cd .. && pwd)" "${cpack_flags[@]}") >> "$log" 2>&1 ||
    { tail -20 "$log"; exit 1; }
  while IFS= read -r package; do made+=("$package"); done < <(sed -n 's/^CPack: - package: \(.*\) generated\.$/\1/p' "$log")
done
rm -rf "$out/_CPack_Packages"
ls -l "${made[@]}"
