#!/usr/bin/env bash
# Every name that a maintainers' document cites in backticks exists in the
# sources: a function, type or constant (a word with an underscore, a
# `scope::name` or a `name()`), a test (`suite.test`, also as `rows/suite.test/`
# or with a row after it) and a file path. A document that names code that was
# renamed or removed misleads the next reader; this test fails instead.
#
#   cited_names.sh SOURCE_ROOT DOCUMENT...
# Prints each name that is missing, and exits 1 when there is one.
set -euo pipefail
root=$1
shift
cd "$root"
mapfile -t sources < <(git ls-files track_aligner log_cleaner abchr_shared abchr_prepare tests bench fuzz 2> /dev/null ||
  find track_aligner log_cleaner abchr_shared abchr_prepare tests bench fuzz -type f)
mapfile -t test_sources < <(printf '%s\n' "${sources[@]}" | grep '^tests/.*\.\(cpp\|h\)$')

# Whether `word` stands as a whole word in any of the files after it.
cited_in() {
  local word=$1
  shift
  grep -qw -- "$word" "$@"
}

# shellcheck disable=SC2016 # backticks of Markdown, not a command
backticked='`[^`]*`'
missing=0
for document in "$@"; do
  while IFS= read -r name; do
    why=""
    if [[ $name =~ ^([a-z]+/)?([A-Za-z_][A-Za-z0-9_]*)\.([A-Za-z_][A-Za-z0-9_]{4,})(/.*)?$ ]]; then
      # A test: its suite and its name, in the test sources.
      cited_in "${BASH_REMATCH[2]}" "${test_sources[@]}" || why="no test suite ${BASH_REMATCH[2]}"
      cited_in "${BASH_REMATCH[3]}" "${test_sources[@]}" || why="no test ${BASH_REMATCH[3]}"
    elif [[ $name =~ ^[A-Za-z_][A-Za-z0-9_]*_[A-Za-z0-9_]*(\(\))?$ ]]; then
      cited_in "${name%()}" "${sources[@]}" || why="named nowhere in the sources"
    elif [[ $name =~ ^[A-Za-z_][A-Za-z0-9_]*::[A-Za-z_][A-Za-z0-9_]*$ ]]; then
      cited_in "${name%%::*}" "${sources[@]}" && cited_in "${name##*::}" "${sources[@]}" ||
        why="named nowhere in the sources"
    elif [[ $name =~ ^[A-Za-z0-9_./-]+/[A-Za-z0-9_.-]+\.(cpp|h|sh|cmake|1)$ ]]; then
      [ -f "$name" ] || why="no such file"
    fi
    if [ -n "$why" ]; then
      echo "$(basename "$document"): \`$name\`: $why"
      missing=1
    fi
  done < <(grep -o "$backticked" "$document" | tr -d '`' | sort -u)
done
exit "$missing"
