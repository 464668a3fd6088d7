#!/usr/bin/env bash
# Checks that every C++ source follows .clang-format (Debian's clang-format-14)
# and that every shell script passes shellcheck. Fix formatting with
#   clang-format-14 -i $(git ls-files '*.cpp' '*.h')
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh clang-format-14 shellcheck
failed=0
mapfile -t sources < <(git ls-files '*.cpp' '*.h')
if ! clang-format-14 --dry-run --Werror "${sources[@]}"; then
  echo "check-style: the files above differ from .clang-format" >&2
  failed=1
fi
mapfile -t scripts < <(git ls-files '*.sh' .ci/run)
if ! shellcheck "${scripts[@]}"; then
  echo "check-style: shellcheck found the problems above" >&2
  failed=1
fi
[ "$failed" = 0 ] && echo "check-style: formatting and shell scripts clean"
exit "$failed"
