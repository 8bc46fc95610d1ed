#!/usr/bin/env bash
# The tree configures the way a newcomer would do it: no presets, GoogleTest from the
# platform's package or Debian's sources, or the tests left out with one line saying why.
# A cross build must never take the build machine's GoogleTest.
# usage: configure_test.sh SOURCE_DIR [TOOLCHAIN_FILE [CMAKE_ARG...]]
set -u
src=$1
toolchain=${2:+-DCMAKE_TOOLCHAIN_FILE=$2}
extra=("${@:3}")
source "$(dirname "$0")/checks.sh"

configure() {  # DIR [CMAKE_ARG...]: starts a case's why, with the failure if it fails
  local dir=$1
  shift
  why=""
  # shellcheck disable=SC2086 # an empty toolchain argument is no argument
  cmake -S "$src" -B "$dir" -G Ninja $toolchain "${extra[@]}" "$@" >"$dir.log" 2>&1 ||
    why="configure failed: $(tail -3 "$dir.log" | tr '\n' ' ')"
}

# A target with no C++ runtime here builds the program and says, once, why no unit tests.
if [ -n "$toolchain" ] && grep -q DORVANE_NO_CXX_RUNTIME "$2"; then
  configure "$tmp/plain"
  [ "$(grep -c 'Unit tests left out: ' "$tmp/plain.log")" = 1 ] || why=$(why_not "$why" "no line saying why")
  grep -q 'build dorvane.exe' "$tmp/plain/build.ninja" 2>/dev/null || why=$(why_not "$why" "no program")
  record "plain configure: the program, and one line on the unit tests left out" "$why"
  finish
  exit
fi

configure "$tmp/plain"
grep -q 'build dorvane_tests' "$tmp/plain/build.ninja" 2>/dev/null || why=$(why_not "$why" "no unit tests")
if [ -n "$toolchain" ]; then
  grep -q 'GTest_DIR:PATH=/' "$tmp/plain/CMakeCache.txt" && why=$(why_not "$why" "took the host's GoogleTest")
  grep -q '/googletest/googletest' "$tmp/plain/build.ninja" || why=$(why_not "$why" "not built from the sources")
fi
record "plain configure, unit tests included" "$why"

configure "$tmp/no-gtest" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DDORVANE_GTEST_SOURCES="$tmp/none"
[ "$(grep -c 'Tests left out: ' "$tmp/no-gtest.log")" = 1 ] || why=$(why_not "$why" "no line saying why")
grep -q 'build dorvane_tests' "$tmp/no-gtest/build.ninja" 2>/dev/null && why=$(why_not "$why" "tests still there")
record "without GoogleTest: configures, tests left out with one line" "$why"

finish
