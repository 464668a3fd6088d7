#!/usr/bin/env bash
# Fails when a program's machine code holds a fused multiply-add or -subtract:
# it rounds once where the source rounds twice, so its results would differ
# from a build without it. x86: vfmadd/vfmsub/vfnmadd/vfnmsub (FMA3, FMA4);
# aarch64: fmadd/fmsub/fnmadd/fnmsub, fmla/fmls and SVE's fmad/fmsb.
#   no_fused_multiply_add.sh OBJDUMP PROGRAM...
set -euo pipefail
objdump=$1
shift
pattern='^[[:space:]]*[0-9a-f]+:[[:space:]]+(v?fn?m(add|sub)[a-z0-9]*|fn?ml[as][a-z0-9]*|fn?m(ad|sb))([[:space:]]|$)'
status=0
for program in "$@"; do
  listing=$("$objdump" -d --no-show-raw-insn "$program")
  found=$(grep -cE "$pattern" <<< "$listing" || true)
  if [ "$found" -gt 0 ]; then
    echo "$program: $found fused multiply-add instructions, for example:"
    grep -E "$pattern" <<< "$listing" | head -5
    status=1
  else
    echo "$program: $(wc -l <<< "$listing") lines of machine code, no fused multiply-add"
  fi
done
exit $status
