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
# Markers written directly above a block (HTML comments in Markdown, roff
# comments in a man page) tell what the block needs:
#   <!-- needs: lame mpg123 -->   .\" needs: lame mpg123
#       tools that the block, or the blocks it builds on, run; where one is not
#       installed, the block is skipped, by name
#   <!-- not run: REASON -->      .\" not run: REASON
#       left out: commands for another system, installing, building
#       everything (which would run this test again), or output shown
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
markdown_marker='^<!--[[:space:]]*((not run|needs):.*[^[:space:]])[[:space:]]*-->$'
man_marker='^\.\\"[[:space:]]*((not run|needs):.*[^[:space:]])[[:space:]]*$'

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
  if [ "$verdict" = run ]; then
    run=1
    out="echo \"== $1\""
  else
    echo "$verdict"
    if [[ $verdict == skipped* ]]; then skipped=1; fi
  fi
}

# Writes the shell session of one document: line n of the script is line n of
# the document, its command where the line belongs to a block that runs, else
# empty, so that the shell's line numbers are the document's.
extract() {
  local document=$1 script=$2 name kind n=0 line in_block=0 run=0 markers="" examples=0 indent=0
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
          case ${info%% *} in
            sh | bash | shell) start_block "$name:$n" ;;
            *) in_block=1 run=0 markers="" ;;
          esac
        fi
        markers=""
      elif [ $in_block = 1 ]; then
        if [ $run = 1 ]; then
          out=$line
          local k
          for ((k = 0; k < indent; k++)); do out=${out# }; done
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
        start_block "$name:$n"
      elif [ $in_block = 1 ] && [[ $line =~ ^\.(fi|EE)$ ]]; then
        in_block=0
      elif [ $in_block = 1 ]; then
        # Requests and comments inside a display are roff's, not the reader's.
        [ $run = 1 ] && [[ ! $line =~ ^[.\'] ]] && out=$(unescape_roff "$line")
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

cd "$scratch/work"
"$make_audio" 6 /dev/null --pcm16 song.wav > /dev/null
export PATH="$program_folders:$PATH" HOME=$scratch/home AUDIODRIVER=alsa AUDIODEV=null

for document in "${documents[@]}"; do
  script=$scratch/scripts/$(basename "$document")
  extract "$document" "$script"
  log=$scratch/$(basename "$document").log
  # The ERR trap names the failing line as the document's own.
  if ! bash --noprofile --norc -c 'set -eEo pipefail
      trap '\''echo "${BASH_SOURCE[0]##*/}:$LINENO: failed with status $?" >&2'\'' ERR
      source "$1"' session "$script" < /dev/null > "$log" 2>&1; then
    tail -n 40 "$log"
    echo "FAILED: a command of $(basename "$document") (see the line above)"
    exit 1
  fi
  echo "$(basename "$document"): $(grep -c '^== ' "$log") blocks ran"
done
if [ $skipped = 1 ]; then
  echo "some blocks were skipped: their tools are not installed"
  exit 77
fi
