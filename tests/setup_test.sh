#!/usr/bin/env bash
# scripts/ensure-tools.sh against an apt of the test's own: a PATH holding only the basic
# tools it needs, stand-ins for apt-get and id, and a folder of its own (DORVANE_TOOLS_ROOT)
# whose dpkg database the stand-in apt-get installs into, read by dpkg-query itself.
# Nothing is installed on this machine. Each case: its status, the lines it must print or
# ask apt-get, and how often apt-get was asked what.
# usage: setup_test.sh SOURCE_DIR
set -u
src=$1
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=checks.sh
source "$here/checks.sh"
timeout=$(command -v timeout) bash=$(command -v bash)

# A bin folder with the basic tools and stand-ins, and a dpkg database beside it
# (DIR/../root) holding only the packages INSTALLED names.
fake_bin() {  # DIR INSTALLED UPDATE INSTALL: INSTALLED packages, each PACKAGE,
              # PACKAGE>PROVIDED,... or -PACKAGE (removed, its configuration kept); how
              # apt-get update behaves (ok, fail), and apt-get satisfy (ok; unmet: a
              # dependency it cannot meet; error: it fails otherwise; PACKAGE: unmet for a
              # list holding PACKAGE only)
  local dir=$1 tool package provides state status=$1/../root/var/lib/dpkg/status
  rm -rf "$dir" "$dir/../root"
  mkdir -p "$dir" "${status%/status}"
  for package in $2; do
    provides="" state="install ok installed"
    [[ $package != *">"* ]] || provides=${package#*>}
    [[ $package != -* ]] || state="deinstall ok config-files" package=${package#-}
    printf 'Package: %s\nStatus: %s\nVersion: 1\nArchitecture: all\nProvides: %s\n\n' \
      "${package%%>*}" "$state" "${provides//,/, }" >>"$status"
  done
  touch "$status"
  for tool in bash dirname sort tr sed grep cut head cat mktemp rm sleep find cmp readelf chmod touch dpkg-query; do
    ln -s "$(command -v $tool)" "$dir/$tool"
  done
  printf '#!/bin/bash\necho %s\n' "${FAKE_UID:-0}" >"$dir/id"
  cat >"$dir/apt-get" <<EOF
#!/bin/bash
echo "\$*" >>"$dir/apt.log"
case \$1 in
  update)
    [ $3 = ok ] && exit 0
    echo "E: Failed to fetch http://mirror.invalid/debian-security/dists/bookworm-security/main/binary-amd64/Packages.xz  File has unexpected size (1 != 2). Mirror sync in progress?" >&2
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead." >&2
    exit 100 ;;
  satisfy)
    list=", \${*: -1}, " fails=0
    case $4 in
      ok) ;;
      unmet) fails=1 ;;
      error) echo "E: Failed to fetch http://mirror.invalid/debian/pool/main/c/cmake/cmake_3.25.1-1_amd64.deb  404  Not Found" >&2
             exit 100 ;;
      *) [[ \$list != *", $4, "* ]] || fails=1 ;;
    esac
    if [ \$fails = 1 ]; then
      echo "The following packages have unmet dependencies:"
      echo " satisfy:command-line : Depends: ninja-build but it is not installable"
      echo "                        Depends: git but it is not going to be installed"
      echo "E: Unable to correct problems, you have held broken packages." >&2
      exit 100
    fi
    for package in \${list//,/}; do
      printf 'Package: %s\nStatus: install ok installed\nVersion: 1\nArchitecture: all\n\n' "\$package" >>"$status"
    done ;;
esac
exit 0
EOF
  chmod +x "$dir/id" "$dir/apt-get"
}

# NAME INSTALLED UPDATE INSTALL WANT_STATUS WANT_UPDATES WANT_INSTALLS [ARG...] -- EXPECTED_LINE...
# An expected line is one of the output or one of apt-get's arguments ("satisfy ...").
run_case() {
  local name=$1 installed=$2 update=$3 install=$4 want=$5 updates=$6 installs=$7 dir=$tmp/case$((passed + failed)) why=""
  local status=0 line
  shift 7
  local args=()
  while [ "$1" != -- ]; do args+=("$1"); shift; done
  shift
  fake_bin "$dir/bin" "$installed" "$update" "$install"
  touch "$dir/bin/apt.log"
  PATH=$dir/bin DORVANE_TOOLS_ROOT=$dir/root DORVANE_APT_RETRY_PAUSE=0 "$timeout" 60 "$bash" "$src/scripts/ensure-tools.sh" \
    "${args[@]}" >"$dir/out" 2>&1 || status=$?
  [ "$status" = "$want" ] || why="status $status, expected $want"
  for line in "$@"; do
    grep -qxF -- "$line" "$dir/out" "$dir/bin/apt.log" || why=$(why_not "$why" "no line '$line'")
  done
  [ "$(grep -c '^update' "$dir/bin/apt.log")" = "$updates" ] ||
    why=$(why_not "$why" "apt-get update $(grep -c '^update' "$dir/bin/apt.log") times, expected $updates")
  [ "$(grep -c '^satisfy' "$dir/bin/apt.log")" = "$installs" ] ||
    why=$(why_not "$why" "apt-get satisfy $(grep -c '^satisfy' "$dir/bin/apt.log") times, expected $installs")
  grep -q 'Traceback\|unbound variable\|command not found' "$dir/out" && why=$(why_not "$why" "an error of its own")
  record "$name" "$why"
  [ -z "$why" ] || sed 's/^/    | /' "$dir/out"
}

satisfy="satisfy -y -q -o Acquire::Retries=3"
fetch_failed="ensure-tools.sh: apt-get update could not read http://mirror.invalid/debian-security/dists/bookworm-security/main/binary-amd64/Packages.xz: File has unexpected size (1 != 2). Mirror sync in progress?; going on with the lists apt has"
run_case "an index that cannot be read: tried three times, then the lists apt has serve" googletest fail ok 0 3 1 host -- \
  "$fetch_failed" "$satisfy cmake, g++, gir1.2-libmsi-1.0, git, msitools, ninja-build, openssl, osslsigncode, python3, python3-asn1crypto, python3-cryptography, python3-gi, python3-pefile, python3-yaml"
# GoogleTest's sources are named exactly when they are missing.
for gtest in present absent; do
  packages="cmake g++ gir1.2-libmsi-1.0 git msitools ninja-build openssl osslsigncode python3 python3-asn1crypto python3-cryptography python3-gi python3-pefile python3-yaml"
  [ $gtest = present ] && installed=googletest || packages=${packages/git /git googletest } installed=""
  run_case "apt-get update that works: once; GoogleTest's sources $gtest" "$installed" ok ok 0 1 1 host -- \
    "Installing: $packages" "$satisfy ${packages// /, }"
  run_case "a package that cannot be installed: named, with apt's reason; GoogleTest's sources $gtest" "$installed" ok unmet 1 1 1 host -- \
    "ensure-tools.sh: cannot install $packages (host)" \
    "ensure-tools.sh: apt says: ninja-build but it is not installable; git but it is not going to be installed"
  run_case "--check installs nothing and names what is missing, and how to install it; GoogleTest's sources $gtest" \
    "$installed" ok ok 1 0 0 --check host -- \
    "ensure-tools.sh: host lacks $packages; install with: scripts/ensure-tools.sh host"
done
run_case "apt failing otherwise: its error named" googletest ok error 1 1 1 host -- \
  "ensure-tools.sh: apt says: Failed to fetch http://mirror.invalid/debian/pool/main/c/cmake/cmake_3.25.1-1_amd64.deb  404  Not Found"
# One group apt cannot install; the other still is, the lean packages without their
# recommends (reprotest's would bring a desktop's worth).
checks="clang, clang-format, clang-tidy, cppcheck, libclang-rt-14-dev, nodejs, pyflakes3, python3, python3-markdown-it, shellcheck, valgrind"
run_case "a group that cannot be installed: the others still are" "" ok googletest 1 1 4 host checks windows-x64 -- \
  "ensure-tools.sh: cannot install cmake g++ gir1.2-libmsi-1.0 git googletest msitools ninja-build openssl osslsigncode python3 python3-asn1crypto python3-cryptography python3-gi python3-pefile python3-yaml (host)" \
  "$satisfy $checks" "$satisfy --no-install-recommends diffoscope-minimal, reprotest"
# What is there is what dpkg says is installed, or what an installed package provides, not
# one removed (the npm packages here are the lock file's).
mkdir -p "$tmp/npm-current/node_modules"
cp "$src/release/sbom/package-lock.json" "$tmp/npm-current/node_modules/.dorvane-lock.json"
DORVANE_NODE_MODULES=$tmp/npm-current/node_modules run_case "a package installed, or provided by one that is, is not asked for" "valgrind nodejs>npm,nodejs-doc python3 -shellcheck" ok ok 0 1 2 \
  checks records -- \
  "Installing: clang clang-format clang-tidy cppcheck libclang-rt-14-dev pyflakes3 python3-apt python3-markdown-it shellcheck" \
  "$satisfy clang, clang-format, clang-tidy, cppcheck, libclang-rt-14-dev, pyflakes3, python3-markdown-it, shellcheck" \
  "$satisfy python3-apt"
FAKE_UID=1000 run_case "not root: names the packages and stops" "googletest python3 python3-apt nodejs npm" ok ok 1 0 0 host records -- \
  "ensure-tools.sh: host lacks cmake g++ gir1.2-libmsi-1.0 git msitools ninja-build openssl osslsigncode python3-asn1crypto python3-cryptography python3-gi python3-pefile python3-yaml" \
  "Install them as root with: apt-get install cmake g++ gir1.2-libmsi-1.0 git msitools ninja-build openssl osslsigncode python3-asn1crypto python3-cryptography python3-gi python3-pefile python3-yaml"
# The npm packages the records need are named when they are not the lock file's.
DORVANE_NODE_MODULES=$tmp/no-npm-packages/node_modules run_case \
  "--check records names npm packages that are not the lock file's" googletest ok ok 1 0 0 --check records -- \
  "ensure-tools.sh: records lacks the npm packages of release/sbom/package-lock.json in $tmp/no-npm-packages; install with: scripts/ensure-tools.sh records"
run_case "an unknown group: the groups named" googletest ok ok 2 0 0 nonsense -- \
  "ensure-tools.sh: unknown group 'nonsense' (host, windows, windows-x86, windows-x64, windows-arm64, arm64-toolchain, records, checks)"
finish
