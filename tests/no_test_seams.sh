#!/usr/bin/env bash
# Fails when a program holds code that nothing in the program runs (a test
# seam: a wrapper, a reference or a hook that only the tests and benchmarks
# call) or when its own code reads the environment.
#
#   no_test_seams.sh CXX NM OBJECT... -- SECTIONED_OBJECT...
#
# OBJECTs are the program's own object files as shipped: none may call getenv
# or one of its variants. SECTIONED_OBJECTs are the same sources compiled
# without optimisation (no call inlined away) and with one section per
# function: linked with garbage collection, they leave out exactly the
# functions that no path from main reaches.
set -euo pipefail
cxx=$1
nm=$2
shift 2
shipped=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do
  shipped+=("$1")
  shift
done
[ $# -gt 0 ] && shift
sectioned=("$@")
if [ ${#shipped[@]} -eq 0 ] || [ ${#sectioned[@]} -eq 0 ]; then
  echo "usage: no_test_seams.sh CXX NM OBJECT... -- SECTIONED_OBJECT..." >&2
  exit 2
fi
status=0

readers=$("$nm" -A -u "${shipped[@]}" | grep -E '(^|[ _])(secure_|_w)?getenv(_s)?$' || true)
if [ -n "$readers" ]; then
  echo "the program reads the environment:"
  echo "$readers"
  status=1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/seams-XXXXXX")
trap 'rm -rf "$work"' EXIT
if ! "$cxx" -o "$work/program" "${sectioned[@]}" -Wl,--gc-sections,--print-gc-sections 2> "$work/removed"; then
  cat "$work/removed"
  exit 1
fi
# The linker's lines: removing unused section '.text.NAME' in file 'OBJECT'.
# A function of the program's own (not a template or inline function, which
# the compiler emits wherever one is used) whose section went is one that
# nothing reaches. (Variables are left out: a constant's uses are folded away.)
unreached=()
for object in "${sectioned[@]}"; do
  own=$("$nm" --defined-only "$object" | awk '$2 ~ /^[Tt]$/ { print $3 }' | sort -u)
  removed=$(grep -F "in file '$object'" "$work/removed" |
    sed -nE "s/.*removing unused section '\.text\.([^']*)'.*/\1/p" |
    sort -u)
  while IFS= read -r name; do
    [ -n "$name" ] && unreached+=("$name")
  done < <(comm -12 <(echo "$own") <(echo "$removed"))
done
if [ ${#unreached[@]} -gt 0 ]; then
  echo "the program holds code that nothing in it reaches:"
  printf '%s\n' "${unreached[@]}" | c++filt | sed 's/^/  /'
  status=1
fi
if [ $status = 0 ]; then
  echo "every function is reached from main; no environment variable is read"
fi
exit $status
