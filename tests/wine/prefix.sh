#!/usr/bin/env bash
# Test fixture for the Windows build: a private wine prefix inside the build tree.
#   prefix.sh setup WINE_DIR     make WINE_DIR/template once (a pristine prefix that relays
#                                the program's platform calls), copy it to WINE_DIR/prefix
#                                and start that prefix's wine server for the whole run
#   prefix.sh teardown WINE_DIR  stop that server and everything it runs
set -eu
action=$1
dir=$2
here=$(cd "$(dirname "$0")" && pwd)
run=$here/../../cmake/wine-run.sh

case $action in
  setup)
    command -v wine >/dev/null || {
      echo "wine is not installed: apt-get install wine wine32:i386 (after dpkg --add-architecture i386)"
      exit 1
    }
    mkdir -p "$dir"
    if [ ! -f "$dir/template/system.reg" ]; then
      rm -rf "$dir/template.new"
      "$run" "$dir/template.new" wineboot -i </dev/null >/dev/null 2>&1
      "$run" "$dir/template.new" regedit /S "Z:${here//\//\\}\\relay.reg" </dev/null >/dev/null 2>&1
      WINEPREFIX="$dir/template.new" wineserver -w
      mv "$dir/template.new" "$dir/template"
    fi
    WINEPREFIX="$dir/prefix" wineserver -k 2>/dev/null || true
    rm -rf "$dir/prefix"
    cp -a "$dir/template" "$dir/prefix"
    # Started here, with none of CTest's pipes, the server and wine's helper processes
    # cannot hold a test's output open after the test ends.
    WINEPREFIX="$dir/prefix" wineserver -p </dev/null >/dev/null 2>&1
    "$run" "$dir/prefix" cmd /c exit </dev/null >/dev/null 2>&1
    echo "wine prefix ready: $dir/prefix"
    ;;
  teardown)
    WINEPREFIX="$dir/prefix" wineserver -k 2>/dev/null || true
    WINEPREFIX="$dir/prefix" wineserver -w 2>/dev/null || true
    ;;
  *)
    echo "usage: prefix.sh setup|teardown WINE_DIR" >&2
    exit 2
    ;;
esac
