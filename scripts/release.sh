#!/usr/bin/env bash
# The release: configures, builds and packages the three Windows presets, and gathers what
# a release publishes into build/release/<version>/: each architecture's ZIP and MSI with
# their .sha256 files, the SBOM and provenance files where the package step made them (and,
# signed, the envelope and its Sigstore bundle), the winget and Scoop manifests when
# DORVANE_RELEASE_URL names where the files will be served, and SHA256SUMS over all of it.
# The presets' own package folders stay as they are.
# usage: scripts/release.sh [--build-root DIR] [--presets "P..."] [--no-build] [CMAKE_OPTION...]
#   CMAKE_OPTION...   given to every configure: signing (-DDORVANE_SIGN_CERT=... etc.)
#   --build-root DIR  the build trees are DIR/<preset> and the release DIR/release/<version>
#                     (default: build/ of the source tree, the README's own trees)
#   --presets "P..."  the presets to release (default: the three Windows ones)
#   --no-build        gather the packages the trees already hold
# DORVANE_RELEASE_URL=https://.../<version>/   where this version's files will be served
# DORVANE_RELEASE_NOTES_URL=https://...        the release notes, named by the winget locale
# DORVANE_RELEASE_CA=roots.pem                  when signing: the roots the signing certificate
#                                               chains to, for the last check (default: the
#                                               certificate itself, which serves a self-signed one)
# DORVANE_SIGN_PIN=... or DORVANE_SIGN_PIN_FILE=FILE   a token's PIN: moved at once into a
#                                               private file that only the signing steps read
set -euo pipefail
# The token's PIN, as CI systems hand it over (in the environment, or a pipe), goes before
# anything else into a private file that only the signing steps open (release/sign.sh):
# no program this script starts has it in its environment, and the file goes on every exit.
unset pin  # (not one inherited, and so exported)
pin=${DORVANE_SIGN_PIN-}
had_pin=${DORVANE_SIGN_PIN+set}
unset DORVANE_SIGN_PIN
temporary=()
trap 'rm -rf "${temporary[@]}"' EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM
if [ -n "$had_pin" ] || { [ -n "${DORVANE_SIGN_PIN_FILE-}" ] && [ -p "$DORVANE_SIGN_PIN_FILE" ]; }; then
  # (A pipe can be read once; the builds sign several times.)
  if [ -z "$had_pin" ]; then
    # Opened for writing too, so that the open never waits for a writer; one line within a
    # bound, so that a pipe nobody writes cannot hang the release.
    exec {pin_fd}<>"$DORVANE_SIGN_PIN_FILE"
    IFS= read -r -t 30 -u "$pin_fd" pin ||
      { echo "release.sh: no PIN came through the pipe DORVANE_SIGN_PIN_FILE names within 30 s" >&2; exit 2; }
    ! read -r -t 0 -u "$pin_fd" ||
      { echo "release.sh: the PIN pipe gave more than one line: give the PIN alone" >&2; exit 2; }
    exec {pin_fd}<&-
  fi
  [ -n "$pin" ] || { echo "release.sh: the token's PIN is empty: give it in DORVANE_SIGN_PIN or DORVANE_SIGN_PIN_FILE" >&2; exit 2; }
  pin_dir=$(mktemp -d)
  temporary+=("$pin_dir")
  (umask 077 && printf '%s' "$pin" >"$pin_dir/pin")
  pin=""
  export DORVANE_SIGN_PIN_FILE=$pin_dir/pin
fi
src=$(cd "$(dirname "$0")/.." && pwd)
# Debian's Python, whose PyYAML scripts/ensure-tools.sh installs; one earlier on the PATH
# may lack it.
python=/usr/bin/python3
root=$src/build
presets=(windows-x86 windows-x64 windows-arm64)
build=1
while [ $# -gt 0 ]; do
  case $1 in
    --build-root) root=$(realpath -m "$2"); shift 2 ;;
    --presets) read -ra presets <<<"$2"; shift 2 ;;
    --no-build) build=0; shift ;;
    *) break ;;
  esac
done
url=${DORVANE_RELEASE_URL-}
notes=${DORVANE_RELEASE_NOTES_URL-}
# Package repositories fetch over TLS only; say so before anything is built.
for pair in "DORVANE_RELEASE_URL=$url" "DORVANE_RELEASE_NOTES_URL=$notes"; do
  value=${pair#*=}
  if [ -n "$value" ] && ! [[ $value =~ ^https://[^/[:space:]]+(/[^[:space:]]*)?$ ]]; then
    echo "release.sh: ${pair%%=*} must be an https:// URL, not '$value'" >&2
    exit 2
  fi
done

# A release's provenance names the commit its sources are at: a tree whose tracked files
# have uncommitted changes, or a DORVANE_SOURCE_COMMIT that is not its commit, is refused
# before anything is built (cmake/source_date_epoch.cmake decides, as the package step does).
commit=$(env -u SOURCE_DATE_EPOCH cmake -DSOURCE_DIR="$src" -DCOMMIT=1 -P "$src/cmake/source_date_epoch.cmake")
if ! [[ $commit =~ ^[0-9a-f]{40}$ ]]; then
  echo "release.sh: ${commit:-no source commit}" >&2
  exit 2
fi

# The file dates and signing time come from git, as in the README's release commands.
unset SOURCE_DATE_EPOCH
cd "$src"
cache_value() { sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt"; }
signed() { [ -n "$(cache_value "$1" DORVANE_SIGN_CERT)$(cache_value "$1" DORVANE_SIGN_PKCS12)" ]; }
configure() {
  if [ "$root" = "$src/build" ]; then
    cmake --preset "$1" "${@:2}" >/dev/null
  else
    cmake --preset "$1" -B "$root/$1" "${@:2}" >/dev/null
  fi
}
# The key and certificate, before anything is built: one signature, so one login to a
# token, which a wrong PIN ends here (a token locks after a few).
if [ $build = 1 ]; then
  configure "${presets[0]}" "$@"
  if signed "$root/${presets[0]}"; then
    cmake --build "$root/${presets[0]}" --target dorvane_sign_check ||
      { echo "release.sh: the signing key or certificate is not usable: nothing was built" >&2; exit 1; }
  fi
fi
# What ships is built and packaged as the package target does it, by the same CPack, but
# without building the tests and the test VM's image first: a release needs neither.
for preset in "${presets[@]}"; do
  [ $build = 1 ] || break
  echo "== $preset"
  tree=$root/$preset
  # (The first was configured for the check above.)
  [ "$preset" = "${presets[0]}" ] || configure "$preset" "$@"
  if [ "$root" = "$src/build" ]; then
    cmake --build --preset "$preset" --target dorvane
  else
    cmake --build "$tree" --target dorvane
  fi
  cpack=$(sed -n 's/^CMAKE_CPACK_COMMAND:INTERNAL=//p' "$tree/CMakeCache.txt")
  (cd "$tree" && "$cpack" --config ./CPackConfig.cmake)
done

version_of() { "$python" -c 'import json, sys; print(json.load(open(sys.argv[1]))["version"])' "$1/project.json"; }
version=$(version_of "$root/${presets[0]}")
# Made aside and moved into place whole, once it has verified: a run that fails leaves the
# previous release as it was.
final=$root/release/$version
out=$final.partial
rm -rf "$out"
temporary+=("$out")
mkdir -p "$out"
for preset in "${presets[@]}"; do
  package=$root/$preset/package
  # Whatever the tree holds of another version is not this release.
  [ "$(version_of "$root/$preset")" = "$version" ] || { echo "release.sh: $preset is not version $version" >&2; exit 1; }
  found=0
  for file in "$package"/dorvane-"$version"-*.{zip,msi,cdx.json,provenance.json,intoto.jsonl,sigstore.json}; do
    [ -f "$file" ] || continue
    # Every file goes with its checksum, and only when that checksum is still its own.
    (cd "$package" && sha256sum --quiet -c "$(basename "$file").sha256") ||
      { echo "release.sh: $file does not match its .sha256" >&2; exit 1; }
    # The records are written after the MSI: one older than it describes an earlier package.
    case $file in *.json | *.jsonl)
      if [ "$file" -ot "$package/dorvane-$version-$(basename "$file" | cut -d- -f3 | cut -d. -f1).msi" ]; then
        echo "release.sh: $file is older than its MSI, left by an earlier package step" >&2
        exit 1
      fi ;;
    esac
    cp "$file" "$file.sha256" "$out/"
    case $file in *.zip | *.msi) found=$((found + 1)) ;; esac
  done
  [ $found = 2 ] || { echo "release.sh: $package lacks its ZIP or MSI" >&2; exit 1; }
done

if [ -n "$url" ]; then
  "$python" "$src/release/manifests.py" "$root/${presets[0]}/project.json" "$out" "$url" ${notes:+"$notes"}
else
  echo "no manifests: DORVANE_RELEASE_URL is not set (the https:// folder this version's files will be served from)"
fi

# Every file, by its path in the release folder, in an order that does not depend on the
# file system.
mapfile -t files < <(cd "$out" && find . -type f -printf '%P\n' | LC_ALL=C sort)
(cd "$out" && sha256sum "${files[@]}" >SHA256SUMS)
# What was made is checked as a user will check it, before it becomes the release: against
# the SHA256SUMS just written (every file the release lists) and, for a signed release, the
# roots its certificate chains to: DORVANE_RELEASE_CA, else the signing certificate itself,
# which serves a self-signed one (a PKCS#12 file's, read with the password from the
# environment). A CA's certificate chain holds no root: name the CA's in DORVANE_RELEASE_CA.
anchor=(--sums "$(sha256sum <"$out/SHA256SUMS" | cut -c1-64)")
roots="" p12="" previous=""
for option in "$@"; do
  # -D NAME=VALUE, as two words, is the same option.
  [ "$previous" != -D ] || option=-D$option
  previous=$option
  case $option in
    -DDORVANE_SIGN_CERT=* | -DDORVANE_SIGN_CERT:*=*) roots=${option#*=} ;;
    -DDORVANE_SIGN_PKCS12=* | -DDORVANE_SIGN_PKCS12:*=*) p12=${option#*=} ;;
  esac
done
signer=$roots
if [ -n "$roots$p12" ] && [ -n "${DORVANE_RELEASE_CA-}" ]; then
  roots=$DORVANE_RELEASE_CA
elif [ -n "$p12" ]; then
  roots=$(mktemp)
  temporary+=("$roots")
  openssl pkcs12 -in "$p12" -nokeys -passin env:DORVANE_SIGN_PASSWORD -out "$roots" 2>/dev/null ||
    { echo "release.sh: cannot read the certificates of $p12 (DORVANE_SIGN_PASSWORD)" >&2; exit 1; }
fi
[ -z "$roots" ] || anchor+=(--ca "$roots")
# Roots vouch for every customer of their CA: the verifier is told which one signs, by the
# subject of the signing certificate (DORVANE_SIGN_CERT's first, or the PKCS#12 file's own).
if [ -n "$signer" ]; then
  anchor+=(--identity "$(openssl x509 -noout -subject -nameopt RFC2253 -in "$signer" | sed 's/^subject=//')")
elif [ -n "$p12" ]; then
  anchor+=(--identity "$(openssl pkcs12 -in "$p12" -nokeys -clcerts -passin env:DORVANE_SIGN_PASSWORD 2>/dev/null |
    openssl x509 -noout -subject -nameopt RFC2253 | sed 's/^subject=//')")
fi
verified=$("$src/scripts/verify-release" "$out" "${anchor[@]}" 2>&1) ||
  { printf '%s\n' "$verified" >&2; echo "release.sh: the release does not verify" >&2; exit 1; }
tail -2 <<<"$verified"
rm -rf "$final.old"
[ ! -e "$final" ] || mv "$final" "$final.old"
mv "$out" "$final"
rm -rf "$final.old"
echo "release $version: $final"
printf '  %s\n' "${files[@]}" SHA256SUMS
# A signature without a timestamp stops verifying when its certificate expires.
if signed "$root/${presets[0]}" && [ -z "$(cache_value "$root/${presets[0]}" DORVANE_SIGN_TIMESTAMP_URL)" ]; then
  echo "warning: signed without a timestamp: the signatures stop verifying when the certificate expires" \
    "(set DORVANE_SIGN_TIMESTAMP_URL)"
fi
