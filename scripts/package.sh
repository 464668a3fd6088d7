#!/usr/bin/env bash
# Makes the packages with cpack, in build-package/ (PACKAGE_DIR chooses another
# folder): a .deb for amd64 and one for arm64 (both programs, their man pages,
# the README), and a .zip for 64-bit Windows (both .exe files and the README).
# Arguments choose among amd64, arm64 and win64 (default: all three). Installs
# the cross compilers with apt-get where missing, as scripts/install-deps.sh does.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${PACKAGE_DIR:-build-package}
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(amd64 arm64 win64)

needs=()
for t in "${targets[@]}"; do
  case $t in
    amd64) ;;
    arm64) needs+=(g++-aarch64-linux-gnu) ;;
    win64) needs+=(g++-mingw-w64-x86-64) ;;
    *) echo "package.sh: unknown target $t (amd64, arm64 or win64)" >&2; exit 2 ;;
  esac
done
bash scripts/install-deps.sh "${needs[@]}"

mkdir -p "$out"
for t in "${targets[@]}"; do
  flags=(-DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF)
  case $t in
    arm64) flags+=(-DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake) ;;
    win64) flags+=(-DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/x86_64-w64-mingw32.cmake) ;;
  esac
  echo "== $t"
  log=$out/$t.log
  { cmake -S . -B "$out/$t" "${flags[@]}" && cmake --build "$out/$t" -j "$(nproc)" &&
    (cd "$out/$t" && cpack -B "$(cd .. && pwd)"); } > "$log" 2>&1 || { tail -20 "$log"; exit 1; }
done
rm -rf "$out/_CPack_Packages"
ls -l "$out"/*.deb "$out"/*.zip 2> /dev/null
