#!/usr/bin/env bash
# Runs the commands of the user documents as written, lifted from the files
# themselves: every shell block of a Markdown file (a fenced block whose info
# string is sh, bash or shell) and every display (.nf ... .fi, or .EX ... .EE) of
# a man page's EXAMPLES section. The documents run in the order given, in one
# fresh folder, each as one shell session, as a user pasting its blocks into a
# terminal would run them: a block sees the files, the folder and the shell
# functions of the blocks before it. The session stops at the first command
# that fails (set -e, pipefail), naming the document's line.
#
# The folder starts with song.wav: the user's own song, a 16-bit stereo CD rip
# of a few seconds here. The built programs are first on PATH, sound goes to
# ALSA's null device, and HOME is a folder of the test's own.
#
# Output is checked too. A block marked as output (below) shows what the
# block that runs before it prints on standard output: the same lines, their
# words the same, and each number equal to the one shown, or within the
# tolerance the marker gives where an encoder's version can move it (the
# output's trailing empty lines and the spacing between words aside). Every
# sox or ffmpeg command that wraps a raw file as WAV is checked by reading the
# WAV back and comparing its samples with the raw file.
#
# Markers written directly above a block (HTML comments in Markdown, roff
# comments in a man page) tell what the block needs:
#   <!-- needs: lame mpg123 -->   .\" needs: lame mpg123
#       tools that the block, or the blocks it builds on, run; where one is not
#       installed, the block is skipped, by name
#   <!-- not run: REASON -->      .\" not run: REASON
#       left out: commands for another system, installing, building
#       everything (which would run this test again)
#   <!-- output -->                .\" output
#   <!-- output: numbers within 5% or 0.01 -->
#       the block is what the run block before it prints; numbers within the
#       given share of the number shown or the given amount, whichever is
#       larger
# A block skipped or left out is reported; when one is skipped the test ends
# with status 77 (skipped) once the rest has passed.
#
#   document_commands.sh MAKE_TEST_AUDIO PROGRAM_FOLDERS DOCUMENT...
#   PROGRAM_FOLDERS: folders of the built programs, separated by ':'
set -euo pipefail
make_audio=$1
program_folders=$2
shift 2
documents=()
for document in "$@"; do documents+=("$(cd "$(dirname "$document")" && pwd)/$(basename "$document")"); done

scratch=$(mktemp -d "${TMPDIR:-/tmp}/abchr-documents-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/work" "$scratch/scripts" "$scratch/home"
skipped=0
markdown_marker='^<!--[[:space:]]*((not run|needs|output)(:.*[^[:space:]])?)[[:space:]]*-->$'
man_marker='^\.\\"[[:space:]]*((not run|needs|output)(:.*[^[:space:]])?)[[:space:]]*$'
mkdir "$scratch/expected"

# One line of a man page's display as the reader sees it: the escapes that a
# command needs in roff source, back to plain characters.
unescape_roff() {
  local line=$1
  line=${line//\\-/-}
  line=${line//\\(aq/\'}
  line=${line//\\(dq/\"}
  line=${line//\\(ga/\`}
  line=${line//\\(ti/\~}
  line=${line//\\(ha/^}
  line=${line//\\&/}
  line=${line//\\fB/}
  line=${line//\\fI/}
  line=${line//\\fR/}
  line=${line//\\fP/}
  line=${line//\\e/\\}
  printf '%s\n' "$line"
}

# Decides on a block from the markers above it; prints "run", or the reason it
# is left out or skipped.
judge_block() {
  local where=$1 markers=$2 marker tool missing=()
  while IFS= read -r marker; do
    case $marker in
      "not run:"*) echo "left out ($where: ${marker#not run: })"; return ;;
      output*) ;;
      "needs:"*)
        for tool in ${marker#needs:}; do
          command -v "$tool" > /dev/null || missing+=("$tool")
        done ;;
      "") ;;
      *) echo "bad marker above $where: $marker" >&2; exit 1 ;;
    esac
  done <<< "$markers"
  if [ ${#missing[@]} -gt 0 ]; then
    echo "skipped ($where: ${missing[*]} not installed)"
  else
    echo run
  fi
}

# Opens a block at the document line $1: it runs, with a line that names it
# in the log, or it is reported as left out or skipped.
start_block() {
  local verdict
  verdict=$(judge_block "$1" "$markers")
  in_block=1
  run=0
  markers=""
  last_block=$1
  last_ran=0
  if [ "$verdict" = run ]; then
    run=1
    last_ran=1
    out="echo \"== $1\""
  else
    echo "$verdict"
    if [[ $verdict == skipped* ]]; then skipped=1; fi
  fi
}

# Opens a block of output shown at the document line $1, when the markers say
# so: its lines go to a file, and the session marks where the output of the
# block before it ends. Returns 1 for any other block.
start_output() {
  local marker tolerance=""
  marker=$(grep -m1 '^output' <<< "$markers") || return 1
  [[ $marker == output:* ]] && tolerance=${marker#output:}
  in_block=1
  run=0
  markers=""
  expected=$scratch/expected/$1
  : > "$expected"
  if [ "$last_ran" = 1 ]; then
    printf '%s\n' "$tolerance" > "$expected.tolerance"
    out="echo \"== output $1\""
  else
    echo "output at $1 not compared: ${last_block:-no block} before it did not run"
    expected=/dev/null
  fi
}

# Writes the shell session of one document: line n of the script is line n of
# the document, its command where the line belongs to a block that runs, else
# empty, so that the shell's line numbers are the document's.
extract() {
  local document=$1 script=$2 name kind n=0 line in_block=0 run=0 markers="" examples=0 indent=0
  local last_block="" last_ran=0 expected=/dev/null
  name=$(basename "$document")
  case $name in
    *.md) kind="markdown" ;;
    *.[1-9]) kind="man" ;;
    *) echo "$name: neither Markdown nor a man page" >&2; exit 1 ;;
  esac
  : > "$script"
  while IFS= read -r line || [ -n "$line" ]; do
    n=$((n + 1))
    local out=""
    if [ $kind = markdown ]; then
      # Blocks inside list items are indented; their lines lose the fence's indent.
      local text=${line#"${line%%[![:space:]]*}"}
      if [[ $text =~ ^\`\`\` ]]; then
        if [ $in_block = 1 ]; then
          in_block=0
        else
          indent=$((${#line} - ${#text}))
          local info=${text#\`\`\`}
          if ! start_output "$name:$n"; then
            case ${info%% *} in
              sh | bash | shell) start_block "$name:$n" ;;
              *) in_block=1 run=0 markers="" ;;
            esac
          fi
        fi
        [ $in_block = 1 ] || expected=/dev/null
        markers=""
      elif [ $in_block = 1 ]; then
        local k unindented=$line
        for ((k = 0; k < indent; k++)); do unindented=${unindented# }; done
        if [ $run = 1 ]; then
          out=$unindented
        else
          printf '%s\n' "$unindented" >> "$expected"
        fi
      elif [[ $text =~ $markdown_marker ]]; then
        markers+="${BASH_REMATCH[1]}"$'\n'
      else
        markers=""
      fi
    else
      if [[ $line =~ ^\.SH ]]; then
        [[ $line =~ ^\.SH\ +\"?EXAMPLES ]] && examples=1 || examples=0
        markers=""
      elif [ $examples = 1 ] && [[ $line =~ ^\.(nf|EX)$ ]]; then
        start_output "$name:$n" || start_block "$name:$n"
      elif [ $in_block = 1 ] && [[ $line =~ ^\.(fi|EE)$ ]]; then
        in_block=0
        expected=/dev/null
      elif [ $in_block = 1 ]; then
        # Requests and comments inside a display are roff's, not the reader's.
        if [[ ! $line =~ ^[.\'] ]]; then
          if [ $run = 1 ]; then
            out=$(unescape_roff "$line")
          else
            unescape_roff "$line" >> "$expected"
          fi
        fi
      elif [[ $line =~ $man_marker ]]; then
        markers+="${BASH_REMATCH[1]}"$'\n'
      elif [[ ! $line =~ ^\.(PP|P|LP)$ ]]; then
        markers=""
      fi
    fi
    printf '%s\n' "$out" >> "$script"
  done < "$document"
  [ $in_block = 0 ] || { echo "$name: a block is not closed" >&2; exit 1; }
}

# Whether `got`, the output of a block, shows as `expected`, a block of the
# document: the same lines (trailing empty lines aside), the same words (the
# spacing aside), and each number equal to the one shown or within the
# tolerance "R% or A". Prints the first difference.
compare_output() {
  awk -v tolerance="$3" '
    function trailing_trimmed(lines, count) {
      while (count > 0 && lines[count] ~ /^[[:space:]]*$/) count--
      return count
    }
    # The numbers of a line into nums, and the line with each number as "#".
    function split_numbers(line, nums,    count, shape) {
      count = 0
      shape = ""
      while (match(line, /-?[0-9]+(\.[0-9]+)?/)) {
        nums[++count] = substr(line, RSTART, RLENGTH) + 0
        shape = shape substr(line, 1, RSTART - 1) "#"
        line = substr(line, RSTART + RLENGTH)
      }
      shape = shape line
      gsub(/[[:space:]]+/, " ", shape)
      sub(/^ /, "", shape)
      sub(/ $/, "", shape)
      return shape
    }
    FNR == 1 { file++ }
    file == 1 { want[++wanted] = $0 }
    file == 2 { got[++gotten] = $0 }
    END {
      share = 0
      amount = 0
      if (match(tolerance, /[0-9.]+%/)) share = substr(tolerance, RSTART, RLENGTH - 1) / 100
      if (match(tolerance, /or [0-9.]+/)) amount = substr(tolerance, RSTART + 3, RLENGTH - 3) + 0
      wanted = trailing_trimmed(want, wanted)
      gotten = trailing_trimmed(got, gotten)
      if (wanted != gotten) {
        printf "%d lines shown, %d printed\n", wanted, gotten
        exit 1
      }
      for (i = 1; i <= wanted; i++) {
        delete a
        delete b
        if (split_numbers(want[i], a) != split_numbers(got[i], b)) {
          printf "line %d: shown \"%s\", printed \"%s\"\n", i, want[i], got[i]
          exit 1
        }
        for (k in a) {
          allowed = amount
          if (share * (a[k] < 0 ? -a[k] : a[k]) > allowed) allowed = share * (a[k] < 0 ? -a[k] : a[k])
          difference = a[k] - b[k]
          if (difference < 0) difference = -difference
          if (difference > allowed) {
            printf "line %d: shown \"%s\", printed \"%s\"\n", i, want[i], got[i]
            exit 1
          }
        }
      }
    }' "$1" "$2"
}

cd "$scratch/work"
"$make_audio" 6 /dev/null --pcm16 song.wav > /dev/null
export PATH="$program_folders:$PATH" HOME=$scratch/home AUDIODRIVER=alsa AUDIODEV=null

# sox and ffmpeg as the documents call them; a command that wraps a raw file
# as WAV is followed by reading the WAV back, as 16-bit little-endian stereo,
# and comparing it with the raw file: a wrong byte order, width or channel
# count in the document gives other samples.
cat > "$scratch/wrap_check.sh" << 'WRAP'
wrapped_raw_matches() {
  local raw=$1 wav=$2
  [ -f "$raw" ] && [ -f "$wav" ] || return 0
  if ! command sox "$wav" -t raw -e signed -b 16 -c 2 -L - 2> /dev/null | cmp -s - "$raw"; then
    echo "$wav does not hold the samples of $raw" >&2
    return 1
  fi
}
sox() {
  command sox "$@" || return
  local args=("$@")
  [ "${args[0]}" = -t ] && [ "${args[1]}" = raw ] || return 0
  local k
  for ((k = 2; k < ${#args[@]} - 1; k++)); do
    if [[ ${args[k]} == *.raw && ${args[-1]} == *.wav ]]; then
      wrapped_raw_matches "${args[k]}" "${args[-1]}"
      return
    fi
  done
}
ffmpeg() {
  command ffmpeg "$@" || return
  local args=("$@") k
  for ((k = 0; k < ${#args[@]} - 1; k++)); do
    if [ "${args[k]}" = -i ] && [[ ${args[k + 1]} == *.raw && ${args[-1]} == *.wav ]]; then
      wrapped_raw_matches "${args[k + 1]}" "${args[-1]}"
      return
    fi
  done
}
WRAP

for document in "${documents[@]}"; do
  script=$scratch/scripts/$(basename "$document")
  extract "$document" "$script"
  log=$scratch/$(basename "$document").log
  # The ERR trap names the failing line as the document's own. Standard
  # output alone is compared with the documents' output blocks.
  if ! bash --noprofile --norc -c 'set -eEo pipefail
      trap '\''echo "${BASH_SOURCE[0]##*/}:$LINENO: failed with status $?" >&2'\'' ERR
      source "$2"
      source "$1"' session "$script" "$scratch/wrap_check.sh" < /dev/null > "$log" 2> "$log.err"; then
    tail -n 20 "$log"
    tail -n 20 "$log.err"
    echo "FAILED: a command of $(basename "$document") (see the line above)"
    exit 1
  fi
  # Each output block against what the block before it printed.
  while IFS= read -r id; do
    awk -v id="$id" '$0 == "== output " id { for (i = 1; i <= n; i++) print line[i]; exit }
      /^== / { n = 0; next }
      { line[++n] = $0 }' "$log" > "$scratch/printed"
    if ! difference=$(compare_output "$scratch/expected/$id" "$scratch/printed" "$(cat "$scratch/expected/$id.tolerance")"); then
      echo "FAILED: the output shown at $id is not what the commands before it print: $difference"
      exit 1
    fi
  done < <(sed -n 's/^== output //p' "$log")
  echo "$(basename "$document"): $(grep -c '^== [^o]' "$log") blocks ran, $(grep -c '^== output' "$log") outputs compared"
done
if [ $skipped = 1 ]; then
  echo "some blocks were skipped: their tools are not installed"
  exit 77
fi
