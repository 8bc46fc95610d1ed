#!/usr/bin/env bash
# Two clean builds of the same sources, in different folders, must give the same exe and
# the same ZIP, byte for byte. Builds this tree's package, then a copy of the tracked
# sources elsewhere, and compares the two.
# usage: reproducible_test.sh SOURCE_DIR BUILD_DIR
set -u
src=$1
build=$2
source "$(dirname "$0")/../checks.sh"

epoch=$(git -C "$src" log -1 --format=%ct 2>/dev/null || echo 1577836800)
SOURCE_DATE_EPOCH=$epoch cmake --build "$build" --target package >"$tmp/main.log" 2>&1 || { cat "$tmp/main.log"; exit 1; }
mkdir "$tmp/src"
if git -C "$src" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  (cd "$src" && git ls-files -z | tar --null -T - -cf -) | tar -x -C "$tmp/src"
else
  (cd "$src" && tar --exclude=./build -cf - .) | tar -x -C "$tmp/src"
fi
{
  SOURCE_DATE_EPOCH=$epoch cmake -S "$tmp/src" -B "$tmp/other" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$tmp/src/cmake/mingw-i686.cmake" -DCMAKE_BUILD_TYPE=MinSizeRel \
    -DDORVANE_BUILD_TESTS=OFF &&
    SOURCE_DATE_EPOCH=$epoch cmake --build "$tmp/other" --target package
} >"$tmp/other.log" 2>&1 || { cat "$tmp/other.log"; exit 1; }

zip_name=$(basename "$(ls "$build"/package/*.zip | head -1)")
for f in dorvane.exe "package/$zip_name"; do
  a=$(sha256sum <"$build/$f" | cut -d' ' -f1)
  b=$(sha256sum <"$tmp/other/$f" | cut -d' ' -f1)
  why=""
  [ "$a" = "$b" ] || why="differs: $b in the other build"
  record "$f: $a" "$why"
done
finish
