#!/usr/bin/env bash
# Builds everything and runs every test. BUILD_DIR and SANITIZE=1 select a
# separate AddressSanitizer + UndefinedBehaviorSanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=${BUILD_DIR:-build}
flags=(-DCMAKE_BUILD_TYPE=Release -DABCHR_WERROR=ON)
if [ "${SANITIZE:-0}" = 1 ]; then
  flags+=(-DABCHR_SANITIZE=ON)
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:halt_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
fi
cmake -S . -B "$build" "${flags[@]}" >/dev/null
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
