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
