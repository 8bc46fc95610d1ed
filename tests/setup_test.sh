#!/usr/bin/env bash
# scripts/ensure-tools.sh against an apt of the test's own: a PATH holding only the basic
# tools it needs, stand-ins for apt-get and id, and a folder of its own for the files it
# looks for (DORVANE_TOOLS_ROOT), with or without GoogleTest's sources, whatever this
# machine has. Nothing is installed on this machine. Each case: its status, the lines it
# must print or ask apt-get, and how often apt-get was asked what.
# usage: setup_test.sh SOURCE_DIR
set -u
src=$1
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=checks.sh
source "$here/checks.sh"
timeout=$(command -v timeout) bash=$(command -v bash)

# A bin folder with the basic tools and stand-ins: the host group's commands (cmake, ninja,
# g++, git) are missing until the stand-in apt-get "installs" them, and so are GoogleTest's
# sources in the files' folder beside it (DIR/../root), unless GTEST is present.
fake_bin() {  # DIR GTEST UPDATE INSTALL: GoogleTest's sources (present, absent); how apt-get
              # update and install behave (ok, fail)
  local dir=$1 tool
  local gtest=$dir/../root/usr/src/googletest
  rm -rf "$dir" "$dir/../root"
  mkdir -p "$dir" "$gtest"
  [ "$2" = absent ] || touch "$gtest/CMakeLists.txt"
  shift
  for tool in bash dirname sort tr sed grep cut head cat mktemp rm sleep find cmp readelf chmod touch; do
    ln -s "$(command -v $tool)" "$dir/$tool"
  done
  printf '#!/bin/bash\necho 0\n' >"$dir/id"
  cat >"$dir/apt-get" <<EOF
#!/bin/bash
echo "\$*" >>"$dir/apt.log"
case \$1 in
  update)
    [ $2 = ok ] && exit 0
    echo "E: Failed to fetch http://mirror.invalid/debian-security/dists/bookworm-security/main/binary-amd64/Packages.xz  File has unexpected size (1 != 2). Mirror sync in progress?" >&2
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead." >&2
    exit 100 ;;
  install)
    if [ $3 = fail ]; then echo "E: Unable to locate package ninja-build" >&2; exit 100; fi
    for tool in cmake ninja g++ git; do printf '#!/bin/sh\n' >"$dir/\$tool"; chmod +x "$dir/\$tool"; done
    [[ " \$* " != *" googletest "* ]] || touch "$gtest/CMakeLists.txt" ;;
esac
exit 0
EOF
  chmod +x "$dir/id" "$dir/apt-get"
}

# NAME GTEST UPDATE INSTALL WANT_STATUS WANT_UPDATES WANT_INSTALLS [ARG...] -- EXPECTED_LINE...
# An expected line is one of the output or one of apt-get's arguments ("install ...").
run_case() {
  local name=$1 gtest=$2 update=$3 install=$4 want=$5 updates=$6 installs=$7 dir=$tmp/case$((passed + failed)) why=""
  local status=0 line
  shift 7
  local args=()
  while [ "$1" != -- ]; do args+=("$1"); shift; done
  shift
  fake_bin "$dir/bin" "$gtest" "$update" "$install"
  touch "$dir/bin/apt.log"
  PATH=$dir/bin DORVANE_TOOLS_ROOT=$dir/root DORVANE_APT_RETRY_PAUSE=0 "$timeout" 60 "$bash" "$src/scripts/ensure-tools.sh" \
    "${args[@]}" >"$dir/out" 2>&1 || status=$?
  [ "$status" = "$want" ] || why="status $status, expected $want"
  for line in "$@"; do
    grep -qxF -- "$line" "$dir/out" "$dir/bin/apt.log" || why=$(why_not "$why" "no line '$line'")
  done
  [ "$(grep -c '^update' "$dir/bin/apt.log")" = "$updates" ] ||
    why=$(why_not "$why" "apt-get update $(grep -c '^update' "$dir/bin/apt.log") times, expected $updates")
  [ "$(grep -c '^install' "$dir/bin/apt.log")" = "$installs" ] ||
    why=$(why_not "$why" "apt-get install $(grep -c '^install' "$dir/bin/apt.log") times, expected $installs")
  grep -q 'Traceback\|unbound variable\|command not found' "$dir/out" && why=$(why_not "$why" "an error of its own")
  record "$name" "$why"
  [ -z "$why" ] || sed 's/^/    | /' "$dir/out"
}

fetch_failed="ensure-tools.sh: apt-get update could not read http://mirror.invalid/debian-security/dists/bookworm-security/main/binary-amd64/Packages.xz: File has unexpected size (1 != 2). Mirror sync in progress?; going on with the lists apt has"
run_case "an index that cannot be read: tried three times, then the lists apt has serve" present fail ok 0 3 1 host -- \
  "$fetch_failed" "install -y -qq cmake g++ gir1.2-libmsi-1.0 git msitools ninja-build openssl osslsigncode python3 python3-asn1crypto python3-cryptography python3-gi python3-pefile python3-yaml"
# GoogleTest's sources are named exactly when they are missing.
for gtest in present absent; do
  packages="cmake g++ gir1.2-libmsi-1.0 git msitools ninja-build openssl osslsigncode python3 python3-asn1crypto python3-cryptography python3-gi python3-pefile python3-yaml"
  [ $gtest = present ] || packages="cmake g++ gir1.2-libmsi-1.0 git googletest msitools ninja-build openssl osslsigncode python3 python3-asn1crypto python3-cryptography python3-gi python3-pefile python3-yaml"
  run_case "apt-get update that works: once; GoogleTest's sources $gtest" $gtest ok ok 0 1 1 host -- \
    "Installing: $packages" "install -y -qq $packages"
  run_case "a package that cannot be installed: named, with apt's reason; GoogleTest's sources $gtest" $gtest ok fail 1 1 1 host -- \
    "ensure-tools.sh: cannot install $packages (host)" \
    "ensure-tools.sh: apt says: Unable to locate package ninja-build"
  run_case "--check installs nothing and names what is missing, and how to install it; GoogleTest's sources $gtest" \
    $gtest ok ok 1 0 0 --check host -- \
    "ensure-tools.sh: host lacks $packages; install with: scripts/ensure-tools.sh host"
done
# The npm packages the records need are named when they are not the lock file's.
DORVANE_NODE_MODULES=$tmp/no-npm-packages/node_modules run_case \
  "--check records names npm packages that are not the lock file's" present ok ok 1 0 0 --check records -- \
  "ensure-tools.sh: records lacks the npm packages of release/sbom/package-lock.json in $tmp/no-npm-packages; install with: scripts/ensure-tools.sh records"
run_case "an unknown group" present ok ok 2 0 0 nonsense --
finish
