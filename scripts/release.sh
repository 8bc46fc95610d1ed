#!/usr/bin/env bash
# The release: configures, builds and packages the Windows presets, and gathers what a
# release publishes into build/release/<version>/: at its top, flat, the files users
# download (each architecture's ZIP, MSI, SBOM and provenance and, signed, the envelope and
# its Sigstore bundle, each with its .sha256) and SHA256SUMS over exactly those; beside them
# winget/ and scoop/ with the manifests, when DORVANE_RELEASE_URL names where the files will
# be served, which go to their own repositories and are in no checksum list. The release is
# checked as a user checks it, and what the publisher must publish apart from the files is
# printed at the end. The presets' own package folders stay as they are.
# Beside the release: <version>.verify-release, the verifier's one file users are handed
# (its SHA-256 printed among the anchors), and, signed, <version>.public-key.pem.
# usage: scripts/release.sh [--build-root DIR] [--presets "P..."] [--no-build] [--replace] [CMAKE_OPTION...]
#   CMAKE_OPTION...   given to every configure: signing (-DDORVANE_SIGN_CERT=... etc.); a
#                     signing option not given is not taken from an earlier run
#   --build-root DIR  the build trees are DIR/<preset> and the release DIR/release/<version>
#                     (default: build/ of the source tree, the README's own trees)
#   --presets "P..."  the presets to release (default: every architecture's, which makes
#                     release/<version>; fewer make release/<version>-<arch...> instead)
#   --no-build        gather the packages the trees already hold (no CMake options then)
#   --replace         replace a release of this version made from another commit
# DORVANE_RELEASE_URL=https://.../<version>/   where this version's files will be served
# DORVANE_RELEASE_NOTES_URL=https://...        the release notes, named by the winget locale
# DORVANE_RELEASE_CA=roots.pem                  when signing: the roots the signing certificate
#                                               chains to (default: the certificate itself,
#                                               which serves a self-signed one)
# DORVANE_SIGN_PIN_FILE=FILE or DORVANE_SIGN_PIN=...  a token's PIN; DORVANE_SIGN_PASSWORD a
#                                               PKCS#12 file's password: read at once, and
#                                               handed only to the signing steps
set -euo pipefail
# The secrets, before anything else, out of the environment of every program started from
# here on: the signing steps get them from an agent of this run's own (release/secret.py).
# unset does not clear what /proc/PID/environ shows of the environment a process was
# started with, so a run given them there starts no program: it hands them to a fresh
# process of itself through a pipe (a here-string this small is one, not a file), with the
# pipe's number as the only trace.
if [ -n "${DORVANE_SIGN_PIN_FILE+1}${DORVANE_SIGN_PIN+1}${DORVANE_SIGN_PASSWORD+1}" ]; then
  handed=""
  for variable in DORVANE_SIGN_PIN_FILE DORVANE_SIGN_PIN DORVANE_SIGN_PASSWORD; do
    [ -n "${!variable+1}" ] || continue
    value=${!variable}
    # (A larger one would make the here-string a temporary file.)
    [ ${#value} -le 4096 ] || { echo "release.sh: $variable holds more than 4096 characters" >&2; exit 2; }
    handed+="$variable ${#value}:$value"
  done
  unset DORVANE_SIGN_PIN_FILE DORVANE_SIGN_PIN DORVANE_SIGN_PASSWORD value
  exec {handed_fd}<<<"$handed"
  export DORVANE_RELEASE_HANDED=$handed_fd
  exec "$BASH" "$0" "$@"
fi
pin_file="" pin_given="" pin="" password_given="" password=""
if [ -n "${DORVANE_RELEASE_HANDED-}" ]; then
  handed_fd=$DORVANE_RELEASE_HANDED
  unset DORVANE_RELEASE_HANDED
  [[ $handed_fd =~ ^[0-9]+$ ]] || { echo "release.sh: DORVANE_RELEASE_HANDED is release.sh's own" >&2; exit 2; }
  while IFS= read -r -d ' ' -u "$handed_fd" variable && IFS= read -r -d : -u "$handed_fd" size; do
    value=""
    [ "$size" = 0 ] || IFS= read -r -N "$size" -u "$handed_fd" value
    case $variable in
      DORVANE_SIGN_PIN_FILE) pin_file=$value ;;
      DORVANE_SIGN_PIN) pin_given=set pin=$value ;;
      DORVANE_SIGN_PASSWORD) password_given=set password=$value ;;
    esac
  done
  exec {handed_fd}<&-
  unset value
fi
# Nor do bash's start-up hooks reach the signing steps: the agent refuses a sign.sh
# started with them (they could read its secret, or trace it into the build's log).
unset BASH_ENV
export -n SHELLOPTS BASHOPTS 2>/dev/null || true
while read -r _ _ function; do export -fn "${function?}"; done < <(declare -Fx)
arguments=("$@")
caller=$PWD
src=$(cd "$(dirname "$0")/.." && pwd)
# Debian's Python, with the modules scripts/ensure-tools.sh installs; one earlier on the PATH
# may lack them.
python=/usr/bin/python3
refuse() { echo "release.sh: $*" >&2; exit 2; }
temporary=() agent_pid="" child=""
# A long step runs in the background and is waited for: a signal to this run (to its pid
# alone, as a job's timeout sends it) then stops the step and everything it started at
# once, and the folders below are removed, rather than once the step has ended by itself
# (bash runs a trap only after the command in the foreground ends). It stays in this run's
# process group, so that Ctrl-C still reaches what ignores no SIGINT.
step() {
  local status=0
  "$@" &
  child=$!
  wait "$child" || status=$?
  child=""
  return "$status"
}
# The processes PID started, then PID, each by its process id.
stop_tree() {  # SIGNAL PID
  local started
  for started in $(pgrep -P "$2"); do stop_tree "$1" "$started"; done
  kill "-$1" "$2" 2>/dev/null || true
}
cleanup() {
  if [ -n "$child" ]; then
    local started_by=() tries=50 pid
    mapfile -t started_by < <(echo "$child"; pgrep -P "$child")
    stop_tree TERM "$child"
    wait "$child" 2>/dev/null || true
    # (What it started, until it has gone: 5 s, then KILL.)
    alive() { for pid in "${started_by[@]}"; do ! kill -0 "$pid" 2>/dev/null || return 0; done; return 1; }
    while alive && [ $((tries -= 1)) -gt 0 ]; do sleep 0.1; done
    for pid in "${started_by[@]}"; do stop_tree KILL "$pid"; done
  fi
  [ -z "$agent_pid" ] || kill "$agent_pid" 2>/dev/null || true
  rm -rf "${temporary[@]}"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM
# This run's own folder, and the TMPDIR of every program it starts: whatever a step killed
# with this run leaves there goes with it.
work=$(mktemp -d)
temporary+=("$work")
mkdir "$work/tmp"
export TMPDIR=$work/tmp
# (A relative file is the caller's: read here, before anything changes folder.)
# (The PIN goes to secret.py through a pipe from a builtin: on no command line.)
if [ -n "$pin_file$pin_given" ]; then
  pin=$(printf %s "$pin" | "$python" "$src/release/secret.py" release.sh pin "$pin_file") || exit 2
  pin_given="set"
fi

# What a release is comes from the contract: the presets (each an architecture's), the
# kinds of file, in its order, the checksum list and the manifests' folders. Each package's
# file names are its build tree's (project.json).
contract=$src/release/contract.json
all_presets=()
declare -A arch_of=()
while IFS=$'\t' read -r arch preset; do
  all_presets+=("$preset") arch_of[$preset]=$arch
done < <(jq -r '.architectures | to_entries[] | [.key, .value.preset] | @tsv' "$contract")
mapfile -t kinds < <(jq -r '.files | keys_unsorted[]' "$contract")
sums=$(jq -r .sums "$contract")
mapfile -t manifest_folders < <(jq -r '.manifests.winget, .manifests.scoop' "$contract")
# NAME FILE: a JSON file of facts read once, each value at its path in fact["NAME PATH"]:
# a preset's project.json (fact["windows-x64 package.files.msi"]), the signing settings
# (fact["signing timestamps.0"], the first authority), the signer's facts. A null is no
# value. Refused, in one line, unless the file is one JSON document that every JSON reader
# reads as this one does: no two leaves spelling one path ("a.b" and a inside b), no NUL,
# tab or line end in a path or a value.
declare -A fact=()
read_facts() {
  local path value listing
  listing=$(jq -rn '[inputs] | if length != 1 then error("not one JSON document") else .[0] end
    | [paths(type != "object" and type != "array") as $p | select(getpath($p) != null)
       | [($p | map(tostring) | join(".")), (getpath($p) | tostring)]]
    | if any(.[][]; test("[\u0000\t\n]")) then error("a key or value holds a NUL, a tab or a line end")
      elif (map(.[0]) | unique | length) != length then error("two keys spell one path")
      else .[] | "\(.[0])\t\(.[1])" end' "$2" 2>&1) || refuse "$2 cannot be read: ${listing##*error*: }"
  while IFS=$'\t' read -r path value; do
    [ -z "$path" ] || fact["$1 $path"]=$value
  done <<<"$listing"
}

root=$src/build
presets=("${all_presets[@]}")
build=1 replace=0
while [ $# -gt 0 ]; do
  case $1 in
    --build-root | --presets) [ $# -ge 2 ] || refuse "$1 needs a value" ;;&
    --build-root) root=$(realpath -m -- "$2"); shift 2 ;;
    --presets) read -ra presets <<<"$2"; shift 2 ;;
    -h | --help) sed -n '/^# usage:/,/^set -euo pipefail$/{/^set/d; s/^# \{0,1\}//; p}' "$0"; exit 0 ;;
    --no-build) build=0; shift ;;
    --replace) replace=1; shift ;;
    *) break ;;
  esac
done
[ $build = 1 ] || [ $# = 0 ] || refuse "--no-build configures nothing, so it takes no CMake options: '$1'"
arches=()
for preset in "${presets[@]}"; do
  arch=${arch_of[$preset]-}
  [ -n "$arch" ] || refuse "'$preset' is not one of the presets a release is made of: ${all_presets[*]}"
  [[ " ${arches[*]} " != *" $arch "* ]] || refuse "--presets names $preset twice"
  arches+=("$arch")
done
[ ${#presets[@]} != 0 ] || refuse "--presets names no preset"
full=1
for preset in "${all_presets[@]}"; do
  [[ " ${presets[*]} " == *" $preset "* ]] || full=0
done

url=${DORVANE_RELEASE_URL-}
notes=${DORVANE_RELEASE_NOTES_URL-}
# Package repositories fetch over TLS only; say so before anything is built.
for pair in "DORVANE_RELEASE_URL=$url" "DORVANE_RELEASE_NOTES_URL=$notes"; do
  value=${pair#*=}
  if [ -n "$value" ] && ! [[ $value =~ ^https://[^/[:space:]]+(/[^[:space:]]*)?$ ]]; then
    refuse "${pair%%=*} must be an https:// URL, not '$value'"
  fi
done
[ -z "$url" ] || [ $full = 1 ] ||
  refuse "DORVANE_RELEASE_URL: the manifests name every architecture's files (${all_presets[*]}), and" \
    "--presets gives ${presets[*]}: release them all, or unset DORVANE_RELEASE_URL"
# The CMake options, each read once: a timestamp authority's user and password would be on
# cmake's and the signing steps' command lines and in the build trees' files (such
# authorities are not supported); and the lock, which outlives the run, names each option
# without its value, which may be what nobody else should read.
described=("$0" "${arguments[@]:0:${#arguments[@]}-$#}")
previous="" userinfo='://[^/?#;]*@'
for given in "$@"; do
  option=$given
  [ "$previous" != -D ] || option=-D$given
  previous=$given
  if [[ $option =~ ^-DDORVANE_SIGN_TIMESTAMP_URL(:[A-Za-z]+)?= && ${option#*=} =~ $userinfo ]]; then
    refuse "DORVANE_SIGN_TIMESTAMP_URL must not hold a user or password: timestamp authorities that need" \
      "credentials are not supported (public RFC 3161 authorities need none)"
  fi
  if [[ $option == -D?*=* ]]; then described+=("${given%%=*}=..."); else described+=("$given"); fi
done

# One release at a time in a checkout: two would build in the same trees and gather into
# the same folder. The second says who holds the lock.
mkdir -p "$src/build"
lock=$src/build/release.lock
exec {lock_fd}>>"$lock"
if ! flock -n "$lock_fd"; then
  refuse "another release.sh is running in this checkout ($(head -c 1000 "$lock" | tr -d '\n')): wait for it to end"
fi
# (The command it runs, for the one refused.)
printf 'pid %s, started %s, %s\n' "$$" "$(date -u +%Y-%m-%dT%H:%M:%SZ)" "$(printf '%q ' "${described[@]}")" >"$lock"

# A release's provenance names the commit its sources are at: a tree whose tracked files
# have uncommitted changes, or a DORVANE_SOURCE_COMMIT that is not its commit, is refused
# before anything is built (cmake/source_date_epoch.cmake decides, as the package step does).
commit=$(env -u SOURCE_DATE_EPOCH cmake -DSOURCE_DIR="$src" -DCOMMIT=1 -P "$src/cmake/source_date_epoch.cmake")
[[ $commit =~ ^[0-9a-f]{40}$ ]] || refuse "${commit:-no source commit}"
# The file dates and signing time come from git, as in the README's release commands.
unset SOURCE_DATE_EPOCH

# A release holds every package's SBOM and provenance: without their tools (Node.js,
# python3-apt and the npm packages of the tree's DORVANE_NODE_MODULES) the package step
# makes none. Asked before anything is configured, which on a fresh clone takes minutes.
records_refusal() {  # PRESET NODE_MODULES
  local why
  why=$(DORVANE_NODE_MODULES=$2 "$src/scripts/ensure-tools.sh" --check records 2>&1) || refuse "$1: ${why#ensure-tools.sh: }"
}
node_modules_of() {  # PRESET: the option given, else the tree's cache, else none (configure's default)
  local given="" option cache=$root/$1/CMakeCache.txt
  for option in "${@:2}"; do
    [[ $option =~ ^-DDORVANE_NODE_MODULES(:[A-Za-z]+)?=(.*)$ ]] && given=$(cd "$caller" && realpath -m -- "${BASH_REMATCH[2]}")
  done
  if [ -n "$given" ]; then echo "$given"
  elif [ -f "$cache" ]; then sed -n 's/^DORVANE_NODE_MODULES:PATH=//p' "$cache"
  fi
}
for preset in "${presets[@]}"; do records_refusal "$preset" "$(node_modules_of "$preset" "$@")"; done

# Every configure takes this command line's signing options and no earlier run's: those
# not given are cleared. It runs from the caller's folder, so that a relative path is the
# caller's.
configure() {  # PRESET
  local log=$root/$1.configure.log
  mkdir -p "$root"
  # (-B always: the tree goes under the build root whatever binaryDir the preset names.)
  if step env -C "$caller" cmake -S "$src" --preset "$1" -B "$root/$1" -U 'DORVANE_SIGN_*' \
    "${@:2}" >"$log" 2>&1; then
    return 0
  fi
  grep -v '^--' "$log" >&2 || true
  refuse "configuring $1 failed (the whole log: $log)"
}
if [ $build = 1 ]; then
  for preset in "${presets[@]}"; do configure "$preset" "$@"; done
fi
for preset in "${presets[@]}"; do
  [ -f "$root/$preset/project.json" ] || refuse "$root/$preset is not a configured build tree"
  read_facts "$preset" "$root/$preset/project.json"
  if [ -z "${fact[$preset package.base]-}" ] || [ -z "${fact[$preset package.folder]-}" ] ||
     [ -z "${fact[$preset version]-}" ]; then
    refuse "$root/$preset was configured by an older DORVANE: configure it again"
  fi
  [ "${fact[$preset preset]-}" = "$preset" ] ||
    refuse "$root/$preset is the build tree of ${fact[$preset preset]:-no preset}, not of $preset: configure it again"
  # (Again, as the tree was configured: the folder its package step reads.)
  records_refusal "$preset" "${fact[$preset package.node_modules]-}"
done
version=${fact[${presets[0]} version]-}
# (It names the release's folder and files.)
[[ $version =~ ^[0-9]+(\.[0-9]+){0,3}$ ]] || refuse "${presets[0]}'s version '$version' is not a version number: configure it again"
for preset in "${presets[@]}"; do
  [ "${fact[$preset version]-}" = "$version" ] || refuse "$preset is version ${fact[$preset version]-}, not $version"
done

# What would be refused after the build is refused now.
if [ -n "$url" ]; then
  # (The manifests' own rule, asked of release/manifests.py.)
  why=$("$python" -c 'import sys; sys.path.insert(0, sys.argv[1]); import manifests; manifests.scoop_checkver(sys.argv[2], sys.argv[3])' \
    "$src/release" "${url%/}/" "$version" 2>&1) || refuse "${why#manifests.py: }"
fi
# A version tag at this commit that is not this version: one of them is wrong.
if git -C "$src" rev-parse --verify -q HEAD >/dev/null 2>&1 && [ "$(git -C "$src" rev-parse HEAD)" = "$commit" ]; then
  while IFS= read -r tag; do
    if [[ $tag =~ ^v?[0-9]+(\.[0-9]+)*$ ]] && [ "${tag#v}" != "$version" ]; then
      refuse "this commit is tagged $tag, and project(VERSION) in CMakeLists.txt says $version: correct one of them"
    fi
  done < <(git -C "$src" tag --points-at HEAD)
fi
# The full release is build/release/<version>; fewer architectures make a folder of their own.
name=$version
[ $full = 1 ] || name=$version-$(IFS=-; echo "${arches[*]}")
final=$root/release/$name
record=$final.release.json
# A release is replaced only by the same version of the same commit: its winget and Scoop
# hashes and its provenance may already be published.
if [ -e "$final" ]; then
  made=""
  [ ! -f "$record" ] || made=$(jq -r '.commit // ""' "$record")
  if [ "$made" != "$commit" ]; then
    if [ $replace = 0 ]; then
      refuse "$final holds version $version of ${made:+commit }${made:-an unknown commit}," \
        "and this is commit $commit: raise project(VERSION) in CMakeLists.txt for a new release, or give" \
        "--replace to replace the one that may be published"
    fi
    echo "release.sh: REPLACING $final (${made:-an unknown commit}) with commit $commit, as --replace asks:" \
      "whatever was published of it no longer matches" >&2
  fi
fi

# How the packages are signed: what the last configure wrote (release/sign.sh reads the same).
signing=$root/${presets[0]}/signing.json
[ -f "$signing" ] || refuse "$root/${presets[0]} has no signing configuration (configure it again)"
read_facts signing "$signing"
source=${fact[signing source]-}
alike=$(jq -c 'del(.agent)' "$signing")
for preset in "${presets[@]}"; do
  [ "$(jq -c 'del(.agent)' "$root/$preset/signing.json")" = "$alike" ] ||
    refuse "$preset is configured to sign otherwise than ${presets[0]}: configure them alike"
done
roots=${DORVANE_RELEASE_CA:+$(realpath -m -- "$DORVANE_RELEASE_CA")}
# The signer's facts (from the certificate file, or the PKCS#12 file with its password),
# and its chain when the roots are its own.
signer_facts() {
  local options=(release.sh "$signing" --public-key "$work/public.pem" --chain "$work/chain.pem")
  if [ "$source" = pkcs12 ]; then
    printf '%s\n' "$password" | "$python" "$src/release/certificate.py" "${options[@]}"
  else
    "$python" "$src/release/certificate.py" "${options[@]}" </dev/null
  fi
}
if [ -n "$source" ]; then
  facts=$(signer_facts) || exit 1
  [ -n "$roots" ] || roots=$work/chain.pem
else
  # A PIN, a password or roots say the publisher means to sign: an unsigned release made
  # instead, by a job whose signing options went missing, would be published as if signed.
  given=()
  [ -z "$pin_given" ] || given+=("a PIN")
  [ -z "$password_given" ] || given+=("a PKCS#12 password")
  [ -z "${DORVANE_RELEASE_CA-}" ] || given+=(DORVANE_RELEASE_CA)
  [ ${#given[@]} = 0 ] || refuse "given $(printf '%s, ' "${given[@]}" | sed 's/, $//'), but the trees are not configured to sign: give the signing" \
    "options (-DDORVANE_SIGN_CERT=... and the key), or none of these for an unsigned release"
  # Nor does an unsigned release replace a signed one of this version unasked.
  if [ -f "$final/${fact[${presets[0]} package.files.envelope]-}" ] && [ $replace = 0 ]; then
    refuse "$final is signed, and this run is not: give the signing options, or --replace to replace it" \
      "with an unsigned release"
  fi
fi

if [ $build = 1 ] && [ -n "$source" ]; then
  # (Which run a signing step belongs to, so that one whose agent is gone says so.)
  export DORVANE_RELEASE_PID=$$
  # The agent that hands the secrets to this run's signing steps, and to nothing else.
  if [ -n "$pin_given$password_given" ]; then
    mapfile -t names < <(for preset in "${presets[@]}"; do jq -r .agent "$root/$preset/signing.json"; done)
    coproc agent { exec "$python" "$src/release/secret.py" release.sh serve $$ "${names[@]}"; }
    # shellcheck disable=SC2154 # (bash names the coproc's process agent_PID)
    agent_pid=$agent_PID
    if [ -n "$pin_given" ]; then printf 'pin\0%s\0' "$pin" >&"${agent[1]}"; fi
    if [ -n "$password_given" ]; then printf 'password\0%s\0' "$password" >&"${agent[1]}"; fi
    fd=${agent[1]}
    exec {fd}>&-
    IFS= read -r -t 10 -u "${agent[0]}" ready || true
    [ "${ready-}" = ready ] || { echo "release.sh: the signing agent did not start" >&2; exit 1; }
    pin=""
  fi
  # The key and certificate, before anything is built: the chain up to the roots, and one
  # signature, so one login to a token, which a wrong PIN ends here (a token locks after a
  # few). Without DORVANE_RELEASE_CA the certificate must be its own root.
  check_roots=${DORVANE_RELEASE_CA:+$roots}
  step bash "$src/release/sign.sh" check "$signing" ${check_roots:+"$check_roots"} ||
    { echo "release.sh: the signing key or certificate is not usable: nothing was built" >&2; exit 1; }
fi

# What ships is built and packaged as the package target does it, by the same CPack, but
# without building the tests and the test VM's image first: a release needs neither.
for preset in "${presets[@]}"; do
  [ $build = 1 ] || break
  echo "== $preset"
  tree=$root/$preset
  step cmake --build "$tree" --target dorvane
  cpack=$(sed -n 's/^CMAKE_CPACK_COMMAND:INTERNAL=//p' "$tree/CMakeCache.txt")
  step env -C "$tree" "$cpack" --config ./CPackConfig.cmake
done

# Made aside and moved into place whole, once it has been checked: a run that fails leaves
# the previous release as it was.
out=$final.partial
rm -rf "$out"
temporary+=("$out")
mkdir -p "$out"
for i in "${!presets[@]}"; do
  package=$root/${presets[i]}/${fact[${presets[i]} package.folder]-}
  checksum=${fact[${presets[i]} package.checksum]-}
  msi=$package/${fact[${presets[i]} package.files.msi]-}
  missing=()
  for kind in "${kinds[@]}"; do
    member=${fact[${presets[i]} package.files.$kind]-}
    [ -n "$member" ] || refuse "$root/${presets[i]} was configured by an older DORVANE: configure it again"
    file=$package/$member
    # Only a signed release has the envelope and its bundle; a tree configured anew not to
    # sign after it packaged them holds files that are not what it says.
    unsigned_only=0
    [[ -z $source && ($kind == envelope || $kind == bundle) ]] && unsigned_only=1
    if [ ! -f "$file" ]; then
      [ $unsigned_only = 1 ] || missing+=("$member")
      continue
    elif [ $unsigned_only = 1 ]; then
      echo "release.sh: $file is signed, and ${presets[i]} is now configured not to sign: build it again" >&2
      exit 1
    fi
    # Every file goes with its checksum, and only when that checksum is still its own.
    (cd "$package" && sha256sum --quiet -c "$member$checksum") ||
      { echo "release.sh: $file does not match its $checksum" >&2; exit 1; }
    # The records are written after the MSI: one older than it describes an earlier package.
    case $kind in zip | msi) ;; *)
      if [ "$file" -ot "$msi" ]; then
        echo "release.sh: $file is older than its MSI, left by an earlier package step" >&2
        exit 1
      fi ;;
    esac
    cp "$file" "$file$checksum" "$out/"
  done
  # Every package with its SBOM and provenance and, signed, the envelope and its bundle.
  [ ${#missing[@]} = 0 ] || { echo "release.sh: $package lacks ${missing[*]}" >&2; exit 1; }
done
# SHA256SUMS: every flat file, by name, in an order that does not depend on the file system.
mapfile -t files < <(cd "$out" && find . -maxdepth 1 -type f -printf '%P\n' | LC_ALL=C sort)
(cd "$out" && sha256sum "${files[@]}" >"$sums")
sums_sha256=$(sha256sum <"$out/$sums" | cut -c1-64)
if [ -n "$url" ]; then
  "$python" "$src/release/manifests.py" "$root/${presets[0]}/project.json" "$out" "$url" ${notes:+"$notes"}
elif [ $full = 1 ]; then
  echo "no manifests: DORVANE_RELEASE_URL is not set (the https:// folder this version's files will be served from)"
fi

# What was made is checked as a user will check it, before it becomes the release: the flat
# files alone (what is uploaded), with sha256sum and with the verifier under every anchor a
# user may hold, and the whole folder, the manifests included, where the verifier reads them.
if [ -n "$source" ]; then
  read_facts signer /dev/stdin <<<"$facts"
  identity=${fact[signer subject]-} certificate_sha256=${fact[signer sha256]-}
  ca=(--ca "$roots" --identity "$identity" --cert-sha256 "$certificate_sha256")
fi
# The verifier's one file, as the host build's verify-release target makes it (the same
# bytes): users are handed this file and its SHA-256, so the release is checked with it.
verifier=$work/verify-release
"$python" -I "$src/release/pack_verifier.py" "$src" "$verifier" || refuse "could not pack the verifier's one file"
verifier_sha256=$(sha256sum <"$verifier" | cut -c1-64)
verify() {  # FOLDER WHAT ANCHOR...
  step "$verifier" "$1" "${@:3}" >"$work/said" 2>&1 ||
    { cat "$work/said" >&2; echo "release.sh: $2 do not verify (${*:3})" >&2; exit 1; }
  echo "checked: $2 (${3#--}), $(tail -1 "$work/said")"
}
# (The verifier holds timestamps to the system's roots: an authority of
# DORVANE_SIGN_TIMESTAMP_CA's needs its roots published, for --tsa-ca, and is checked so;
# among --ca's roots they would vouch for signers too.)
private_stamps="" tsa=()
if [ -n "$source" ] && [ -n "${fact[signing timestamps.0]-}" ]; then
  private_stamps=${fact[signing timestamp_ca]-}
  [ -z "$private_stamps" ] || tsa=(--tsa-ca "$private_stamps")
fi
verify_all() {  # FOLDER WHAT
  verify "$1" "$2" --sums "$sums_sha256"
  [ -z "$source" ] || verify "$1" "$2" "${ca[@]}" "${tsa[@]}"
  [ -z "$source" ] || verify "$1" "$2" --key "$work/public.pem" "${tsa[@]}"
}
download=$work/download
mkdir "$download"
(cd "$out" && cp -- "${files[@]}" "$sums" "$download/")
(cd "$download" && sha256sum --quiet -c "$sums") ||
  { echo "release.sh: the files as uploaded do not pass 'sha256sum -c $sums'" >&2; exit 1; }
verify_all "$download" "the files as uploaded"
[ -z "$url" ] || verify_all "$out" "the whole folder"

# Into place. A release whose files differ from the new one's (signed again, timestamped
# again, other manifests) may be what users already downloaded: it is kept, named by the
# SHA-256 of its SHA256SUMS (what users were told to check it with), and said so. Of the
# sets a version's runs replace, two are kept: the first (what a publisher who published
# the first run published) and the last (in case the run before this one was published);
# one kept in between is removed, and said so. Every run of a timestamped release differs,
# so a job that runs again and again would otherwise keep one set a run. $final.kept lists
# the sets kept, in the order they were.
rm -rf "$final.old"
beside=(release.json public-key.pem verify-release)
index=$final.kept
if [ -e "$final" ]; then
  if diff -rq "$final" "$out" >/dev/null 2>&1; then
    mv "$final" "$final.old"
  else
    replaced=$(sha256sum <"$final/$sums" 2>/dev/null | cut -c1-12) || true
    # (Kept sets the list does not name, by a release.sh that kept no list, come first.)
    mapfile -t listed < <([ ! -f "$index" ] || cat "$index")
    mapfile -t found < <(find "$root/release" -mindepth 1 -maxdepth 1 -type d -name "$name.replaced-*" -printf '%P\n' | LC_ALL=C sort)
    order=()
    declare -A named=()
    for folder in "${listed[@]}"; do named[$folder]=1; done
    for folder in "${found[@]}"; do [ -n "${named[$folder]-}" ] || order+=("$folder"); done
    for folder in "${listed[@]}"; do [ ! -d "$root/release/$folder" ] || order+=("$folder"); done
    if [ ${#order[@]} -ge 2 ]; then
      dropped=${order[-1]}
      unset 'order[-1]'
      rm -rf "${root:?}/release/$dropped"
      for file in "${beside[@]}"; do rm -f "$root/release/$dropped.$file"; done
      echo "release.sh: $root/release/$dropped, kept when a run replaced it, is removed: of the sets this version's" \
        "runs replaced, the first ($root/release/${order[0]}) and the last are kept" >&2
    fi
    kept=$final.replaced-${replaced:-unlisted}
    # (Releases with the same SHA256SUMS may differ in their manifests.)
    base_kept=$kept n=1
    while [ -e "$kept" ]; do n=$((n + 1)) kept=$base_kept-$n; done
    mv "$final" "$kept"
    for file in "${beside[@]}"; do [ ! -f "$final.$file" ] || mv "$final.$file" "$kept.$file"; done
    order+=("$(basename "$kept")")
    printf '%s\n' "${order[@]}" >"$index"
    echo "release.sh: the release this replaces differs from it, and is kept as $kept:" \
      "if it was published, publish this one in its place, with its checksums and manifests" >&2
  fi
fi
mv "$out" "$final"
rm -rf "$final.old"
# (A key beside an unsigned release would say it is signed.)
[ -n "$source" ] || rm -f "$final.public-key.pem"
"$python" -c 'import json, sys; json.dump(dict(zip(("version", "commit", "sums_sha256"), sys.argv[2:5]), presets=sys.argv[5:]), open(sys.argv[1], "w"), indent=2)' \
  "$record" "$version" "$commit" "$sums_sha256" "${presets[@]}"
echo "release $name: $final"
printf '  %s\n' "${files[@]}" "$sums"
for folder in "${manifest_folders[@]}"; do
  [ ! -d "$final/$folder" ] || echo "  $folder/ (to its repository: not uploaded with the files)"
done
# What users check the files against, published apart from them (the project's page, the
# release notes, a signed tag): a copy beside the files proves nothing.
if [ $full = 1 ]; then
  echo "publish apart from the files, for users to check them with:"
else
  echo "not a release: ${presets[*]} only, to try out; the release to publish is every architecture's," \
    "$root/release/$version. This one is checked with:"
fi
echo "  SHA-256 of $sums: $sums_sha256"
# (The one file users check with, handed over as verify-release, and its digest.)
cp "$verifier" "$final.verify-release"
echo "  the verifier, one file (publish it as verify-release): $final.verify-release, SHA-256 $verifier_sha256"
if [ -n "$source" ]; then
  mkdir -p "$root/release"
  cp "$work/public.pem" "$final.public-key.pem"
  echo "  signer (RFC 4514 subject): $identity"
  echo "  signer's certificate SHA-256: $certificate_sha256"
  echo "  signer's certificate thumbprint (SHA-1, as Windows shows it): ${fact[signer thumbprint]-}"
  if [ -n "${DORVANE_RELEASE_CA-}" ]; then
    echo "  roots: those of $DORVANE_RELEASE_CA (DORVANE_RELEASE_CA): say where users get them"
  else
    echo "  roots: the signer's certificate itself (self-signed), the first of ${fact[signer file]-}: publish it"
  fi
  echo "  public key: $final.public-key.pem"
  # Offline, osslsigncode checks the signer's certificate against a CRL of its issuer when
  # the certificate names where to fetch one, and fails without it.
  mapfile -t crls < <(jq -r '.crl_urls[]' <<<"$facts")
  [ ${#crls[@]} = 0 ] ||
    echo "  CRLs: the signing certificate and its intermediates name ${crls[*]}: fetch them after the release and publish them" \
      "(PEM), for users checking offline (osslsigncode -CRLfile, verify-release --crl)"
  [ -z "$private_stamps" ] ||
    echo "  timestamp authority's roots (not the system's; users give them to --tsa-ca): those of $private_stamps" \
      "(DORVANE_SIGN_TIMESTAMP_CA) the authorities' tokens chain to"
  # A signature without a timestamp stops verifying when its certificate expires.
  # A certificate about to expire is said in a line a log scan finds, before a run is refused.
  days_left=${fact[signer days_left]-}
  [ "$days_left" -ge 30 ] ||
    echo "warning: the signing certificate expires in $days_left days, on ${fact[signer not_after]-}" \
      "(at ${fact[signer ends]-}): renew it before then (from then on a release is refused)"
  if [ -z "${fact[signing timestamps.0]-}" ]; then
    echo "warning: signed without a timestamp: the signatures stop verifying when the certificate expires" \
      "(configure with -DDORVANE_SIGN_TIMESTAMP_URL=https://...)"
  fi
fi
