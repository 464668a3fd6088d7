#!/usr/bin/env bash
# Fails when a library needs one above it: each library's every object is
# linked into a program with only the libraries below it, so that a call
# upwards (the folder's lock into the preparation, the command line's table
# into main) is an undefined reference, named by the linker.
#
#   no_upward_links.sh CXX LIBRARY [BELOW...] [-- LIBRARY [BELOW...]]...
set -euo pipefail
cxx=$1
shift
work=$(mktemp -d "${TMPDIR:-/tmp}/abchr-links-XXXXXX")
trap 'rm -rf "$work"' EXIT
printf 'int main() { return 0; }\n' > "$work/main.cpp"
"$cxx" -c "$work/main.cpp" -o "$work/main.o"
status=0
while [ $# -gt 0 ]; do
  library=$1
  shift
  below=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do
    below+=("$1")
    shift
  done
  [ $# -gt 0 ] && shift
  if ! "$cxx" "$work/main.o" -Wl,--whole-archive "$library" -Wl,--no-whole-archive "${below[@]}" \
    -o "$work/linked" 2> "$work/errors"; then
    echo "$(basename "$library") needs more than the libraries below it:"
    grep -E 'undefined reference' "$work/errors" | sed -e 's/^.*: //' | sort -u | head -20
    status=1
  fi
done
exit $status
