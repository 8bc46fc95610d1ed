#!/usr/bin/env bash
# Test fixture for the Windows build: a private wine prefix inside the build tree.
#   prefix.sh setup ARCH WINE_DIR     make WINE_DIR/template once per wine version (a
#                                     pristine ARCH prefix with template.reg's settings),
#                                     copy it to WINE_DIR/prefix and start that prefix's
#                                     wine server for the whole run
#   prefix.sh teardown ARCH WINE_DIR  stop every wine server of WINE_DIR
#   prefix.sh copy ARCH WINE_DIR NAME a throwaway copy of the template, WINE_DIR/NAME
set -eu
action=$1
arch=$2
dir=$3
here=$(cd "$(dirname "$0")" && pwd)
run=$here/wine-run.sh

# Stops the servers of every prefix under WINE_DIR (the shared one and any a request case
# left), and all that runs in them.
stop_all() {
  local server
  local watcher
  watcher=$(cat "$dir/watcher.pid" 2>/dev/null) || watcher=""
  rm -f "$dir/watcher.pid"
  # Only this script's own watcher, never a process that happens to have its old number.
  if [ -n "$watcher" ] && ps -o args= -p "$watcher" 2>/dev/null | grep -q prefix.sh; then
    kill "$watcher" 2>/dev/null || true
  fi
  for server in "$dir"/*/; do
    [ -f "$server/system.reg" ] || continue
    timeout 20 "$run" "$arch" --server "${server%/}" -k 2>/dev/null || true
    timeout 20 "$run" "$arch" --server "${server%/}" -w 2>/dev/null || true
  done
}

# Most of a prefix is wine's own DLLs and programs in the system folders, which a run reads
# and never writes: the copy links to the template's, the rest (registry, drives, users)
# is copied. Cheap where copying is not, as on a VM's shared folder.
copy_template() {  # DEST
  local dest=$1 system
  rm -rf "$dest"
  (cd "$dir/template" && tar --exclude=./drive_c/windows/system32 --exclude=./drive_c/windows/syswow64 -cf - .) |
    (mkdir -p "$dest" && tar -xf - -C "$dest")
  for system in system32 syswow64; do
    [ ! -d "$dir/template/drive_c/windows/$system" ] ||
      cp -as "$dir/template/drive_c/windows/$system" "$dest/drive_c/windows/"
  done
}

case $action in
  copy)
    copy_template "$dir/$4"
    ;;
  setup)
    version=$("$run" "$arch" --check) || { status=$?; echo "$version"; exit $status; }
    mkdir -p "$dir"
    # A prefix made by another wine version is "updated" by every run that uses it, which
    # then prints about it and is slow: make the template anew when wine changes.
    made_by="$version $arch $(sha256sum <"$here/template.reg" | cut -c1-12)"
    # In a VM the wine folder is the guest's memory, gone with it: the template is kept as an
    # archive in DORVANE_WINE_TEMPLATE_ARCHIVE (the session folder) for the next boot.
    archive=${DORVANE_WINE_TEMPLATE_ARCHIVE-}
    if [ "$(cat "$dir/template/.made-by" 2>/dev/null)" != "$made_by" ] && [ -n "$archive" ] &&
       [ "$(cat "$archive.made-by" 2>/dev/null)" = "$made_by" ]; then
      rm -rf "$dir/template"
      { mkdir -p "$dir/template" && tar -xf "$archive" -C "$dir/template"; } || rm -rf "$dir/template"
    fi
    if [ "$(cat "$dir/template/.made-by" 2>/dev/null)" != "$made_by" ]; then
      rm -rf "$dir/template" "$dir/template.new"
      # wine makes the prefix before it runs the first program in it: here, the settings.
      "$run" "$arch" "$dir/template.new" regedit /S "Z:${here//\//\\}\\template.reg" </dev/null >/dev/null 2>&1
      timeout 180 "$run" "$arch" --server "$dir/template.new" -w
      echo "$made_by" >"$dir/template.new/.made-by"
      mv "$dir/template.new" "$dir/template"
      if [ -n "$archive" ]; then
        tar -cf "$archive.new" -C "$dir/template" . && mv "$archive.new" "$archive" &&
          echo "$made_by" >"$archive.made-by"
      fi
    fi
    stop_all
    copy_template "$dir/prefix"
    # Started here, with none of CTest's pipes, the server and wine's helper processes
    # cannot hold a test's output open after the test ends.
    "$run" "$arch" --server "$dir/prefix" -p </dev/null >/dev/null 2>&1
    "$run" "$arch" "$dir/prefix" cmd /c exit </dev/null >/dev/null 2>&1
    # That server persists until teardown; should the run be cut off before it (ctest
    # killed, a CI time limit), this watcher stops it once the run's process is gone. The
    # next setup or teardown of this folder ends the watcher first.
    # In a VM the run is the guest itself, whose first process says so.
    run_pid=${DORVANE_WINE_RUN_PID:-$PPID}
    (
      while kill -0 "$run_pid" 2>/dev/null; do sleep 2; done
      rm -f "$dir/watcher.pid"
      stop_all
    ) </dev/null >/dev/null 2>&1 &
    echo $! >"$dir/watcher.pid"
    echo "wine prefix ready: $dir/prefix"
    ;;
  teardown)
    stop_all
    echo "wine servers stopped: $dir"
    ;;
  *)
    echo "usage: prefix.sh setup|teardown ARCH WINE_DIR, or copy ARCH WINE_DIR NAME (ARCH: win32, win64, arm64)" >&2
    exit 2
    ;;
esac
