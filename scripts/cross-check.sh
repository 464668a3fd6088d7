#!/usr/bin/env bash
# Builds wavmatch2 and logsweep three times, for this machine, for aarch64 Linux
# and for 64-bit Windows, runs every build on the same inputs (the aarch64 one
# under qemu-user, the Windows one under wine) and compares each run with the
# native one: exit status, standard output, standard error and every file it
# writes. Text (the standard streams and logsweep's cleaned files, *.txt) is
# compared after mapping the Windows build's line ends (CR CR LF after a
# message, CR LF after a cleaned line) to the LF of the others; every other
# file, the raw stimuli above all, byte for byte. The inputs are made once,
# natively: the demo's codec copies (real codecs where installed), the
# whole-run test's cases, and sample logs that logsweep cleans to standard
# output and to a file.
#
# Prints one line per scenario and build, then "N passed, M failed"; exits 1
# when a scenario failed. Installs the cross compilers, qemu-user and wine64
# with apt-get where missing (as scripts/install-deps.sh does).
# CROSS_DIR chooses the folder (default build-cross); CROSS_BUILDS the builds
# compared with the native one (default "aarch64 windows"). A build named
# package-amd64 or package-arm64 is the programs of that .deb, made before by
# scripts/package.sh in PACKAGE_DIR (default build-package): they are built
# with Debian's hardening flags and must give the same bytes.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
source=$(pwd)
root=${CROSS_DIR:-build-cross}
read -r -a builds <<< "${CROSS_BUILDS:-aarch64 windows}"

bash scripts/install-deps.sh g++-aarch64-linux-gnu qemu-user g++-mingw-w64-x86-64 wine64
mkdir -p "$root"
root=$(cd "$root" && pwd)
log=$root/build.log
: > "$log"

# wine needs a prefix of its own; it stays quiet and never asks anything.
export WINEPREFIX=${WINEPREFIX:-$root/wine} WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)

launcher() {
  case $1 in
    native) ;;
    aarch64 | package-arm64) echo qemu-aarch64 -L /usr/aarch64-linux-gnu ;;
    windows) echo "$wine" ;;
  esac
}
toolchain() {
  case $1 in
    aarch64) echo "-DCMAKE_TOOLCHAIN_FILE=$source/cmake/toolchains/aarch64-linux-gnu.cmake" ;;
    windows) echo "-DCMAKE_TOOLCHAIN_FILE=$source/cmake/toolchains/x86_64-w64-mingw32.cmake" ;;
  esac
}
suffix() { [ "$1" = windows ] && echo .exe; }

echo "== building into $root (log: $log)"
# The native build also makes the inputs; the demo builds it and makes its files.
BUILD_DIR=$root/native DEMO_OUT=$root/inputs/demo bash scripts/demo.sh > "$root/demo.log" 2>&1 ||
  { tail -20 "$root/demo.log"; echo "the demo failed; no inputs" >&2; exit 1; }
cmake --build "$root/native" -j "$(nproc)" --target make_whole_run_inputs >> "$log" 2>&1 ||
  { tail -20 "$log"; exit 1; }
# Each program on its own: one that does not build fails only its scenarios.
built=()
for b in "${builds[@]}"; do
  if [[ $b == package-* ]]; then
    debs=("${PACKAGE_DIR:-build-package}"/abchr-tools_*_"${b#package-}".deb)
    deb=${debs[-1]}
    if [ ! -f "$deb" ]; then
      echo "   $b: no package; run scripts/package.sh ${b#package-} first"
      continue
    fi
    rm -rf "${root:?}/$b"
    mkdir -p "$root/$b/unpacked" "$root/$b/track_aligner" "$root/$b/log_cleaner"
    if ! dpkg-deb -x "$deb" "$root/$b/unpacked" >> "$log" 2>&1; then
      echo "   $b: $deb does not unpack (see $log)"
      continue
    fi
    ln -s "$root/$b/unpacked/usr/bin/wavmatch2" "$root/$b/track_aligner/wavmatch2"
    ln -s "$root/$b/unpacked/usr/bin/logsweep" "$root/$b/log_cleaner/logsweep"
    built+=("$b/wavmatch2" "$b/logsweep")
    continue
  fi
  # shellcheck disable=SC2046
  cmake -S . -B "$root/$b" -DCMAKE_BUILD_TYPE=Release $(toolchain "$b") >> "$log" 2>&1
  for program in wavmatch2 logsweep; do
    if cmake --build "$root/$b" -j "$(nproc)" --target "$program" >> "$log" 2>&1; then
      built+=("$b/$program")
    else
      echo "   $b: $program does not build (see $log)"
    fi
  done
done
if [[ " ${builds[*]} " == *" windows "* ]] && [ ! -d "$WINEPREFIX" ]; then
  "$wine" wineboot --init > /dev/null 2>&1
fi

echo "== making inputs"
inputs=$root/inputs
"$root/native/tests/make_whole_run_inputs" "$inputs/whole_run"
mkdir -p "$inputs/logs"
(
  cd "$inputs/logs" || exit 1
  cp ../demo/encoder.log encoder.log
  printf 'Encoding  10%%\rEncoding  20%%\rdone\n' > progress.log
  printf 'abc\rX\n\r\n\xc3\xa9t\xc3\xa9\rX\n\xe2\x96\x88\xe2\x96\x88\r\xe2\x96\x91\n' > utf8.log
  printf '\0zero\0\r\n\xff\xfe\xed\xa0\x80\xf4\x90\x80\x80\nlast line without end' > odd_bytes.log
  # Lines far longer than a read block, and many redraws across block ends.
  { head -c 200000 /dev/zero | tr '\0' z; printf '\r!\n'
    for i in $(seq 1 20000); do printf 'frame %6d  %3d%%\r' "$i" $((i / 200)); done; printf '\n'; } > long.log
)

# scenario NAME PROGRAM INPUT-FOLDER ARGS...: runs every build on a copy of the
# folder and compares with the native run.
passed=0
failed=0
scenario() {
  local name=$1 program=$2 folder=$3
  shift 3
  local b
  for b in native "${builds[@]}"; do
    local run=$root/runs/$b/$name
    rm -rf "$run"
    mkdir -p "$run"
    cp -R "$folder/." "$run/work"
    find "$run/work" -name '*.raw' -delete  # the demo's own run left its stimuli
    if [ "$b" != native ] && [[ " ${built[*]} " != *" $b/${program##*/} "* ]]; then
      echo "not built" > "$run/status"
      continue
    fi
    local exe
    exe=$root/$b/$program$(suffix "$b")
    # shellcheck disable=SC2046
    (cd "$run/work" && $(launcher "$b") "$exe" "$@" > ../stdout 2> ../stderr < /dev/null)
    echo $? > "$run/status"
    if [ "$b" = windows ]; then
      # Text in LF line ends, as the other builds write it.
      sed -i 's/\r*$//' "$run/stdout" "$run/stderr"
      find "$run/work" -name '*.txt' -print0 | xargs -0 -r sed -i 's/\r*$//'
    fi
    (cd "$run/work" && find . -type f -print0 | sort -z | xargs -0 sha256sum) > "$run/files"
  done
  for b in "${builds[@]}"; do
    local want=$root/runs/native/$name got=$root/runs/$b/$name why=()
    if [ ! -f "$got/stdout" ]; then
      why+=("$b could not build ${program##*/}")
    else
      cmp -s "$want/status" "$got/status" ||
        why+=("exit status $(cat "$got/status") instead of $(cat "$want/status")")
      cmp -s "$want/stdout" "$got/stdout" || why+=("standard output differs")
      cmp -s "$want/stderr" "$got/stderr" || why+=("standard error differs")
      local differing
      differing=$(diff "$want/files" "$got/files" | sed -n 's/^[<>] [0-9a-f]*  \.\///p' | sort -u | tr '\n' ' ')
      [ -z "$differing" ] || why+=("files differ: ${differing% }")
    fi
    if [ ${#why[@]} -eq 0 ]; then
      passed=$((passed + 1))
      printf 'pass  %-13s %s\n' "$b" "$name"
    else
      failed=$((failed + 1))
      local IFS=';'
      printf 'FAIL  %-13s %s: %s\n' "$b" "$name" "${why[*]}"
    fi
  done
}

echo "== comparing with the native build"
scenario demo_codecs track_aligner/wavmatch2 "$inputs/demo" \
  original32b.wav mp332b.wav aac32b.wav vorbis32b.wav opus32b.wav
for folder in "$inputs"/whole_run/*/; do
  case_name=$(basename "$folder")
  mapfile -t arguments < "$folder/arguments"
  scenario "whole_run/$case_name" track_aligner/wavmatch2 "$folder" "${arguments[@]}"
done
scenario wavmatch2_usage track_aligner/wavmatch2 "$inputs/logs"
scenario wavmatch2_missing_input track_aligner/wavmatch2 "$inputs/logs" missing.wav other.wav
for f in "$inputs"/logs/*.log; do
  log_name=$(basename "$f" .log)
  scenario "logsweep/$log_name/stdout" log_cleaner/logsweep "$inputs/logs" "$log_name.log"
  scenario "logsweep/$log_name/file" log_cleaner/logsweep "$inputs/logs" "$log_name.log" cleaned.txt
done
scenario logsweep_usage log_cleaner/logsweep "$inputs/logs"
scenario logsweep_missing_input log_cleaner/logsweep "$inputs/logs" missing.log cleaned.txt

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
