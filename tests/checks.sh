# shellcheck shell=bash
# Shared by the program tests (sourced): a tally of named checks and the verdict on one
# run of a program, whose output the caller left in $tmp/out and $tmp/err.
passed=0
failed=0
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# record NAME WHY: an empty WHY passes.
record() {
  if [ -z "$2" ]; then
    passed=$((passed + 1))
    echo "ok   $1"
  else
    failed=$((failed + 1))
    echo "FAIL $1: $2"
  fi
}

# replay PREFIX FILE...: counts here the ok and FAIL lines another tally wrote to FILE,
# each named with PREFIX before it.
replay() {
  local prefix=$1 verdict line
  shift
  while read -r verdict line; do
    case $verdict in
      ok) record "$prefix$line" "" ;;
      FAIL) record "$prefix${line%%: *}" "${line#*: }" ;;
    esac
  done < <(cat "$@")
}

# why_not WHY MORE: appends one more reason.
why_not() { echo "${1:+$1; }$2"; }

# verdict NAME STATUS WANT_STATUS WANT_STDOUT_FILE: the status, stdout byte for byte, and
# nothing at all on stderr.
verdict() {
  local why=""
  [ "$2" = "$3" ] || why="status $2, expected $3"
  cmp -s "$tmp/out" "$4" || why=$(why_not "$why" "stdout differs from $4")
  [ -s "$tmp/err" ] && why=$(why_not "$why" "stderr not empty")
  record "$1" "$why"
  [ -z "$why" ] || head -c 400 "$tmp/out" | od -c | head -5
}

# map_linked MAP: the toolchain files the linker's map shows putting code or data into the
# exe, one a line. GNU ld's map lists every input section it kept, with its size and file
# (absolute paths, printed as such); lld's MSVC-style map names the library (without .a)
# and member, or the object, of every symbol it kept (printed as FILE.a or FILE.o). The
# build's own objects end in .obj, its own libraries are libdorvane_*, and the resources'
# object is lld's own ("... created from .res files").
map_linked() {
  if grep -q 'Publics by Value' "$1"; then
    sed -n '/Publics by Value/,$p' "$1" | awk '/^ [0-9a-f]+:[0-9a-f]+ / { print $NF }' |
      grep -vE '^(<linker-defined>|libdorvane_[a-z_]*:.*|.*\.obj|files)$' | sed -E 's/^([^:]*):.*/\1.a/' | sort -u
  else
    sed -n '/^Linker script and memory map/,$p' "$1" |
      grep -oE '^ *([^ ]+ +)?0x[0-9a-f]+ +0x[0-9a-f]+ +/[^ ]+$' | awk '{ print $(NF - 1), $NF }' |
      while read -r size file; do [ $((size)) = 0 ] || echo "$file"; done | sed -E 's/\(.*//' | sort -u
  fi
}

# copy_sources SRC DEST: the sources as a builder gets them, without .git: in a checkout what
# git would commit (tracked and new files, not ignored ones), elsewhere all but build/.
copy_sources() {
  mkdir -p "$2"
  if git -C "$1" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    (cd "$1" && git ls-files -z --cached --others --exclude-standard |
      tar --null --ignore-failed-read -T - -cf - 2>/dev/null) | tar -x -C "$2"
  else
    (cd "$1" && tar --exclude=./build -cf - .) | tar -x -C "$2"
  fi
}

finish() {
  echo "$passed passed, $failed failed"
  [ "$failed" = 0 ]
}

# step WHAT: says what runs next, and when (seconds into the test), so that a test ended by
# its time limit ends on the step.
step() { echo "step: $* (at ${SECONDS} s)"; }
