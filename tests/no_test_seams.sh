#!/usr/bin/env bash
# Fails when a program holds a function that only the tests and benchmarks
# need: the reference searches and filters, and hooks that reroute the
# program's console or vector loops.
#   no_test_seams.sh NM PROGRAM...
set -euo pipefail
nm=$1
shift
if ! command -v "$nm" > /dev/null; then
  echo "no $nm here: skipped"
  exit 77
fi
pattern='force_baseline_kernels|residual_lower_bounds|search_offset_literal|filter_step|filter_block|set_console'
status=0
for program in "$@"; do
  symbols=$("$nm" -C "$program")
  if [ -z "$symbols" ]; then
    echo "$program: no symbol table to check"
    status=1
    continue
  fi
  found=$(grep -E "$pattern" <<< "$symbols" || true)
  if [ -n "$found" ]; then
    echo "$program holds test seams:"
    echo "$found"
    status=1
  else
    echo "$program: $(wc -l <<< "$symbols") symbols, no test seam"
  fi
done
exit $status
