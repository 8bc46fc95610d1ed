#!/usr/bin/env bash
# The MSI as a fleet deployment runs it, under wine in throwaway prefixes: a silent install
# into Program Files (one entry, its folder on the system PATH, dorvane found from
# anywhere), the older version refused over it (status 1603), a silent uninstall that
# removes the folder and the PATH entry; and an older version installed into a folder of
# the administrator's choosing (INSTALLDIR), this one over it given no folder, and an
# uninstall by ProductCode, which must find that folder again.
# usage: msi_test.sh win32|win64|arm64 WINE_DIR NEW_MSI OLD_MSI NEW_EXE VERSION USAGE_FILE
#                    NEW_PRODUCT_CODE [first]
#   first: the first install and its uninstall alone (in a test VM, where each start of a
#          prefix's wine costs ten seconds or more on one emulated CPU). The refused older
#          version, the chosen folder kept by an upgrade and the folder on the PATH are the
#          package's tables' doing, which the release test holds to the contract for every
#          architecture (the PATH entry is read from the registry here too), and which the
#          x64 suite runs natively on every machine of this kind.
set -u
here=$(cd "$(dirname "$0")" && pwd)
run=$here/wine-run.sh
arch=$1 dir=$2 new_msi=$3 old_msi=$4 new_exe=$5 version=$6 usage=$7 product_code=$8
scenarios=(first_install chosen_folder)
[ "${9-}" != first ] || scenarios=(first_install)
"$run" "$arch" --check >/dev/null || exit
source "$here/../checks.sh"
mapfile -t members < <(jq -r '.members[].name' "$here/../../release/contract.json")

# Two throwaway prefixes: a first install, and an upgrade. (Wine's msiexec leaves the
# separator behind when it takes its entry off the PATH, and wine's cmd stops searching
# at an empty PATH element: after an uninstall or upgrade under wine, unlike Windows, a
# command on the PATH is no longer found. So the search is checked after a first install,
# outside a test VM.)
prefixes=(msi-first msi-upgrade)
[ ${#scenarios[@]} = 2 ] || prefixes=(msi-first)
for name in "${prefixes[@]}"; do
  bash "$here/prefix.sh" copy "$arch" "$dir" "$name"
done
stop_prefixes() {
  local prefix
  for prefix in "${prefixes[@]/#/$dir/}"; do
    timeout 20 "$run" "$arch" --server "$prefix" -k 2>/dev/null
  done
  rm -rf "$dir"/msi-first "$dir"/msi-upgrade "$tmp"
}
trap stop_prefixes EXIT
windows_path() { echo "Z:${1//\//\\}"; }
# Windows on ARM sets ProgramFiles64Folder as x64 Windows does; wine 8.0's msi sets it only
# on x64, so an ARM64 package would land in C:\DORVANE. There the folder is given as an
# administrator may, through the public INSTALLDIR (the release test holds the package's own
# Directory table to the 64-bit Program Files).
props=()
[ "$arch" != arm64 ] || props=('INSTALLDIR=C:\Program Files\DORVANE')
# Runs msiexec silently in $prefix; the registry is on disk once the prefix's server has gone.
msiexec() {
  "$run" "$arch" "$prefix" msiexec "$@" "${props[@]}" /qn </dev/null >"$tmp/msiexec.log" 2>&1
  local status=$?
  timeout 60 "$run" "$arch" --server "$prefix" -w
  return $status
}
succeeds() {  # /i|/x MSI: installs or uninstalls it, recording why not
  msiexec "$1" "$(windows_path "$2")" || why=$(why_not "$why" "status $?: $(tail -2 "$tmp/msiexec.log" | tr '\n' ' ')")
}
# The uninstall entries named DORVANE, as "version" lines.
entries() {
  awk '/^\[Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Uninstall\\\\/ { key = 1; name = ""; next }
       /^\[/ { key = 0 }
       key && /^"DisplayName"="DORVANE"$/ { name = 1 }
       key && name && /^"DisplayVersion"=/ { gsub(/"/, "", $0); sub(/DisplayVersion=/, ""); print; name = 0 }' \
    "$prefix/system.reg" | tr '\n' ' '
}
# How often the system PATH names the folder ($place: the folder as system.reg writes it).
on_path() {
  awk '/^\[System\\\\CurrentControlSet\\\\Control\\\\Session Manager\\\\Environment\]/ { key = 1; next }
       /^\[/ { key = 0 }
       key && tolower($0) ~ /^"path"=/ { print }' "$prefix/system.reg" | grep -oF "$place" | wc -l
}
# The folder the package remembers for later runs, as system.reg writes it.
remembered() {
  awk '/^\[Software\\\\DORVANE\]/ { key = 1; next }
       /^\[/ { key = 0 }
       key && /^"InstallDir"=/ { sub(/^"InstallDir"=/, ""); print }' "$prefix/system.reg"
}
check_installed() {  # the new version's files, entry and PATH entry
  cmp -s "$folder/dorvane.exe" "$new_exe" || why=$(why_not "$why" "$folder holds no new dorvane.exe")
  for file in "${members[@]}"; do
    [ -f "$folder/$file" ] || why=$(why_not "$why" "no $file")
  done
  [ "$(entries)" = "$version " ] || why=$(why_not "$why" "uninstall entries: '$(entries)'")
  [ "$(on_path)" = 1 ] || why=$(why_not "$why" "the folder is $(on_path) times on the system PATH")
}

first_install() {
  prefix=$dir/msi-first
  folder="$prefix/drive_c/Program Files/DORVANE"
  place='Program Files\\DORVANE'

  why=""
  succeeds /i "$new_msi"
  check_installed
  record "a silent install: the files in Program Files, one entry ($version), on the PATH" "$why"

  if [ ${#scenarios[@]} = 2 ]; then
    why=""
    sed 's/$/\r/' "$usage" >"$tmp/expected"
    mkdir -p "$tmp/elsewhere"
    (cd "$tmp/elsewhere" && "$run" "$arch" "$prefix" cmd /c dorvane) >"$tmp/out" 2>"$tmp/err" </dev/null
    status=$?
    [ $status = 2 ] || why="status $status, expected 2"
    cmp -s "$tmp/out" "$tmp/expected" || why=$(why_not "$why" "no usage screen: $(head -c 100 "$tmp/out" | tr '\r\n' '  ')")
    record "cmd /c dorvane from another folder finds it on the PATH" "$why"

    why=""
    msiexec /i "$(windows_path "$old_msi")"
    # Linux sees the low byte of msiexec's status: 1603 is 67 there.
    status=$?
    [ $status = $((1603 % 256)) ] || why="status $status, expected 1603's $((1603 % 256))"
    check_installed
    record "the older version is refused over this one (1603)" "$why"
  fi

  why=""
  succeeds /x "$new_msi"
  [ ! -e "$folder" ] || why=$(why_not "$why" "the folder is still there")
  [ "$(on_path)" = 0 ] || why=$(why_not "$why" "still on the system PATH")
  [ -z "$(entries)" ] || why=$(why_not "$why" "an uninstall entry is left")
  record "a silent uninstall removes the folder, the PATH entry and the entry" "$why"
}

chosen_folder() {
  prefix=$dir/msi-upgrade
  folder="$prefix/drive_c/Tools/DORVANE"
  place='C:\\Tools\\DORVANE'
  why=""
  props=('INSTALLDIR=C:\Tools\DORVANE')
  succeeds /i "$old_msi"
  [ -f "$folder/dorvane.exe" ] || why=$(why_not "$why" "no dorvane.exe in C:\\Tools\\DORVANE")
  [ ! -e "$prefix/drive_c/Program Files/DORVANE" ] || why=$(why_not "$why" "files in Program Files too")
  [ "$(on_path)" = 1 ] || why=$(why_not "$why" "C:\\Tools\\DORVANE is $(on_path) times on the system PATH")
  record "INSTALLDIR=C:\\Tools\\DORVANE: the files there, and that folder on the PATH" "$why"

  # A later version, given no folder, goes where the first one went.
  why=""
  props=()
  succeeds /i "$new_msi"
  check_installed
  [ ! -e "$prefix/drive_c/Program Files/DORVANE" ] || why=$(why_not "$why" "files in Program Files too")
  record "this version over it, given no folder: in C:\\Tools\\DORVANE, one entry, on the PATH once" "$why"

  # Uninstalled as a fleet does it, by ProductCode and with no folder: all of it goes.
  why=""
  msiexec /x "$product_code" || why="status $?: $(tail -2 "$tmp/msiexec.log" | tr '\n' ' ')"
  [ ! -e "$folder" ] || why=$(why_not "$why" "C:\\Tools\\DORVANE is still there")
  [ "$(on_path)" = 0 ] || why=$(why_not "$why" "still on the system PATH")
  [ -z "$(entries)" ] || why=$(why_not "$why" "an uninstall entry is left")
  [ -z "$(remembered)" ] || why=$(why_not "$why" "the remembered folder is left: $(remembered)")
  record "msiexec /x $product_code removes C:\\Tools\\DORVANE, its PATH entry and the remembered folder" "$why"
}

# Side by side: each spends most of its time starting wine in its own prefix. Each has a
# folder of its own for its files, and its lines are counted here.
for scenario in "${scenarios[@]}"; do
  # (tmp is the scenario's own in its subshell only.)
  # shellcheck disable=SC2030,SC2031
  (tmp=$tmp/$scenario && mkdir -p "$tmp" && $scenario) >"$tmp/$scenario.log" &
done
wait
logs=()
# shellcheck disable=SC2031
for scenario in "${scenarios[@]}"; do logs+=("$tmp/$scenario.log"); done
replay "" "${logs[@]}"

finish
