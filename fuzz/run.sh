#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, generates their seed corpora, and runs each for
# FUZZ_SECONDS (default 60). A crash, a hang or a sanitizer report fails.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
out=${FUZZ_DIR:-build-fuzz}
cxx=${FUZZ_CXX:-clang++}
mkdir -p "$out"
# shellcheck disable=SC2054 # the commas belong to -fsanitize=
flags=(-std=c++20 -g -O1 -ffp-contract=off -fno-omit-frame-pointer
       -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all)

aligner_sources=()
for f in track_aligner/*.cpp; do [ "$f" = track_aligner/main.cpp ] || aligner_sources+=("$f"); done
"$cxx" "${flags[@]}" -Itrack_aligner fuzz/fuzz_wav_header.cpp "${aligner_sources[@]}" -o "$out/fuzz_wav_header"
"$cxx" -std=c++20 -O1 -Itests fuzz/make_seeds.cpp -o "$out/make_seeds"
rm -rf "$out/corpus_wav" && mkdir -p "$out/corpus_wav"
"$out/make_seeds" "$out/corpus_wav"

targets=(fuzz_wav_header)
if [ -f fuzz/fuzz_log_filter.cpp ]; then
  cleaner_sources=()
  for f in log_cleaner/*.cpp; do [ "$f" = log_cleaner/main.cpp ] || cleaner_sources+=("$f"); done
  "$cxx" "${flags[@]}" -Ilog_cleaner -Itests fuzz/fuzz_log_filter.cpp "${cleaner_sources[@]}" -o "$out/fuzz_log_filter"
  rm -rf "$out/corpus_log" && mkdir -p "$out/corpus_log"
  printf 'Encoding  10%%\rEncoding  20%%\rdone\n' > "$out/corpus_log/progress"
  printf 'abc\rX\n\r\n\xc3\xa9t\xc3\xa9\rX\n\xe2\x96\x88\xe2\x96\x88\r\xe2\x96\x91\n' > "$out/corpus_log/utf8"
  printf '\0zero\0\r\n\xff\xfe\xed\xa0\x80\xf4\x90\x80\x80\n' > "$out/corpus_log/odd_bytes"
  targets+=(fuzz_log_filter)
fi

export ASAN_OPTIONS=detect_leaks=1
for t in "${targets[@]}"; do
  corpus="$out/corpus_wav"
  [ "$t" = fuzz_log_filter ] && corpus="$out/corpus_log"
  echo "== $t for ${seconds}s"
  if ! "$out/$t" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$out/$t-" "$corpus" > "$out/$t.log" 2>&1; then
    tail -n 60 "$out/$t.log"
    echo "$t failed; the input that shows it is in $out/$t-*" >&2
    exit 1
  fi
  tail -n 6 "$out/$t.log"
done
