#!/usr/bin/env bash
# Test fixture for the Windows build: a private wine prefix inside the build tree.
#   prefix.sh setup ARCH WINE_DIR     make WINE_DIR/template once per wine version (a
#                                     pristine ARCH prefix with template.reg's settings),
#                                     copy it to WINE_DIR/prefix and start that prefix's
#                                     wine server for the whole run
#   prefix.sh teardown ARCH WINE_DIR  stop every wine server of WINE_DIR
#   prefix.sh copy ARCH WINE_DIR NAME a throwaway copy of the template, WINE_DIR/NAME
#   prefix.sh for-guest arm64 WINE_DIR VM_CACHE ARCHIVE
#                                     the arm64 guest's template, made on this machine as
#                                     ARCHIVE, which the guest's setup takes (below)
set -eu
action=$1
arch=$2
dir=$3
here=$(cd "$(dirname "$0")" && pwd)
run=$here/wine-run.sh

# Stops the servers of every prefix under WINE_DIR (the shared one and any a request case
# left), and all that runs in them.
stop_all() {
  local server watcher
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

# VERSION ARCH: what a template records of its making. A prefix made by another wine
# version is "updated" by every run that uses it, which then prints about it and is slow: a
# template is made anew when wine or the settings change.
made_by() { echo "$1 $2 $(sha256sum <"$here/template.reg" | cut -c1-12)"; }

# ARCH DEST: a pristine prefix with template.reg's settings; wine makes the prefix before it
# runs the first program in it, here the settings.
make_template() {
  rm -rf "$2"
  "$run" "$1" "$2" regedit /S "Z:${here//\//\\}\\template.reg" </dev/null >/dev/null 2>&1
  timeout 180 "$run" "$1" --server "$2" -w
}

# TEMPLATE ARCHIVE MADE_BY: the template kept as ARCHIVE, for a guest's next boot, its files
# root's (a guest's jobs run as root, and wine refuses a prefix that is not its user's); its
# record written last, so that a run cut off leaves no record of another archive.
keep_template() {
  rm -f "$2.made-by"
  tar --owner=0 --group=0 --numeric-owner -cf "$2.new" -C "$1" . || return
  mv "$2.new" "$2" || return
  echo "$3" >"$2.made-by"
}

case $action in
  copy)
    copy_template "$dir/$4"
    ;;
  setup)
    version=$("$run" "$arch" --check) || { status=$?; echo "$version"; exit $status; }
    mkdir -p "$dir"
    made_by=$(made_by "$version" "$arch")
    # In a VM the wine folder is the guest's memory, gone with it: the template is kept as an
    # archive in DORVANE_WINE_TEMPLATE_ARCHIVE (the session folder) for the next boot.
    archive=${DORVANE_WINE_TEMPLATE_ARCHIVE-}
    if [ "$(cat "$dir/template/.made-by" 2>/dev/null)" != "$made_by" ] && [ -n "$archive" ] &&
       [ "$(cat "$archive.made-by" 2>/dev/null)" = "$made_by" ]; then
      rm -rf "$dir/template"
      { mkdir -p "$dir/template" && tar -xf "$archive" -C "$dir/template"; } || rm -rf "$dir/template"
    fi
    if [ "$(cat "$dir/template/.made-by" 2>/dev/null)" != "$made_by" ]; then
      rm -rf "$dir/template"
      make_template "$arch" "$dir/template.new"
      echo "$made_by" >"$dir/template.new/.made-by"
      mv "$dir/template.new" "$dir/template"
      [ -z "$archive" ] || keep_template "$dir/template" "$archive" "$made_by" || true
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
  for-guest)
    # The emulated arm64 guest takes one to three minutes to make a prefix (wineboot maps
    # and registers hundreds of DLLs); this machine's 64-bit wine makes it from the same
    # wine.inf in seconds. What wineboot copied from its library folder then becomes the
    # arm64 wine's files of the same names, as the guest's wineboot copies them, and the
    # architecture's names arm64's (its 32-bit half, syswow64, is left empty). The guest's
    # setup takes it only if its own wine's version is the one recorded here; where this
    # cannot be made, the guest makes its own.
    [ "$arch" = arm64 ] || { echo "prefix.sh: for-guest makes an arm64 template only" >&2; exit 2; }
    archive=$5
    template=$dir/guest-template
    own() { rm -rf "$template" "$archive.new"; echo "the guest makes its own prefix: $1"; exit 0; }
    root=$(bash "$here/../vm/vm-image.sh" arm64 "$4")/root || own "no guest image"
    guest_lib=$root/usr/lib/aarch64-linux-gnu/wine/aarch64-windows
    host_lib=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows
    inf=/usr/share/wine/wine.inf
    # The registry comes of wine.inf, and the guest's wine remakes a prefix whose record of
    # wine.inf's date is not its own.
    { version=$("$run" win64 --check 2>&1) && [ -d "$host_lib" ]; } || own "this machine has no 64-bit wine"
    { cmp -s "$inf" "$root$inf" && [ "$(stat -c %Y "$inf")" = "$(stat -c %Y "$root$inf")" ]; } ||
      own "this machine's wine.inf is not the guest's"
    made_by=$(made_by "$version" arm64)
    if [ "$(cat "$archive.made-by" 2>/dev/null)" = "$made_by" ] && [ -f "$archive" ]; then
      echo "guest template kept: $archive ($made_by)"
      exit 0
    fi
    mkdir -p "$dir" "${archive%/*}"
    # (Not in a condition, where set -e would be off inside.)
    set +e
    (
      set -e
      make_template win64 "$template"
      rm -rf "$template/drive_c/windows/syswow64/"*
      while IFS= read -r -d '' file; do
        name=${file##*/}
        # (A placeholder is a stand-in wineboot wrote, in x64 code, for a DLL it lacks.)
        if [ -f "$host_lib/$name" ] || grep -qsF 'Wine placeholder DLL' "$file"; then
          if [ -f "$guest_lib/$name" ]; then cp "$guest_lib/$name" "$file"; else rm "$file"; fi
        fi
      done < <(find "$template/drive_c" -path '*/syswow64' -prune -o -type f -print0)
      while IFS= read -r -d '' file; do
        case ${file##*/} in
          amd64_*) mv "$file" "${file%/*}/arm64_${file##*/amd64_}" ;;
          x64) mv "$file" "${file%/*}/arm64" ;;
        esac
      done < <(find "$template/drive_c/windows" -depth \( -name 'amd64_*' -o -name x64 \) -print0)
      sed -i 's/processorArchitecture="amd64"/processorArchitecture="arm64"/' \
        "$template"/drive_c/windows/winsxs/manifests/*.manifest
      sed -i 's/\\\\Environments\\\\Windows x64\\\\/\\\\Environments\\\\Windows ARM64\\\\/' "$template/system.reg"
      mkdir -p "$template/drive_c/windows/sysarm32"
      echo "$made_by" >"$template/.made-by"
    )
    status=$?
    set -e
    { [ $status = 0 ] && keep_template "$template" "$archive" "$made_by"; } || own "making it here failed"
    rm -rf "$template"
    echo "guest template made: $archive ($made_by)"
    ;;
  teardown)
    stop_all
    echo "wine servers stopped: $dir"
    ;;
  *)
    echo "usage: prefix.sh setup|teardown ARCH WINE_DIR, copy ARCH WINE_DIR NAME, or for-guest arm64 WINE_DIR VM_CACHE" \
      "ARCHIVE (ARCH: win32, win64, arm64)" >&2
    exit 2
    ;;
esac
