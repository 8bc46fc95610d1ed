#!/usr/bin/env bash
# Every test this build tree registers has a row in the contributors' test table, so that a
# new test cannot go unlisted. A row names one test, or a family ending in * (unit.Usage.*).
# usage: tests_listed_test.sh BUILD_DIR PAGE
set -u
build=$1
page=$2
source "$(dirname "$0")/checks.sh"

mapfile -t names < <(ctest --test-dir "$build" -N | sed -n 's/^ *Test *#[0-9]*: \([^ ]*\).*/\1/p')
# The first cell of each row of the table under "### Every test".
# shellcheck disable=SC2016 # backquotes of Markdown, not a command
mapfile -t rows < <(sed -n '/^### Every test/,/^#/p' "$page" | sed -n 's/^| `\([^`]*\)` |.*/\1/p')
why=""
[ ${#names[@]} -gt 0 ] || why="ctest lists no test in $build"
[ ${#rows[@]} -gt 0 ] || why=$(why_not "$why" "no test table under '### Every test'")
for name in "${names[@]}"; do
  listed=""
  for row in "${rows[@]}"; do
    # shellcheck disable=SC2053 # a row ending in * is a pattern
    if [[ $row == *'*' && $name == $row ]] || [ "$name" = "$row" ]; then
      listed=1
      break
    fi
  done
  [ -n "$listed" ] || why=$(why_not "$why" "$name is not in the table")
done
record "the ${#names[@]} tests of $(basename "$build") are in $(basename "$page")'s table" "$why"
finish
