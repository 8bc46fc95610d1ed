#!/usr/bin/env bash
# The releases every release test reads, made once per suite into BUILD_DIR/release-fixture:
# this tree's own package by the README's release command (unsigned), and a signed release
# of a copy of the sources made by scripts/release.sh as a scheduled job runs it (a SoftHSM
# token's key, the PIN in a file of the job's folder, timestamps from the test's own RFC 3161
# authority after one that never answers), with every program it starts traced with its
# arguments and environment. What the tests read:
#   fixture.env        the facts below, as shell assignments (no secret)
#   src/               the copy of the sources; rel/PRESET the signed build tree, rel/release/ the release
#   signed/            the signed tree's exe, map, package/, project.json, signing.json and
#                      CMakeCache.txt as built (the tree itself may be rebuilt)
#   older/             the MSI of an older version (0.0.1) of the same members, for the upgrade rows
#   token-cert.pem, tsa/ca.pem   the signer's certificate and the timestamps' root
#   release.log, exec-release.log, askers.log   the signed run's output, trace and askers' answers
#   tokens/, pin, softhsm2.conf  the test token and its PIN (mode 600), removed by release.forget
# usage: release_fixture.sh SOURCE_DIR BUILD_DIR PRESET TOOLCHAIN win32|win64|arm64
set -u
src=$1
build=$2
preset=$3
toolchain=$(basename "$4")
arch=$5
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../checks.sh"
source "$here/signing_checks.sh"
fix=$build/release-fixture
step "a fresh fixture folder"
rm -rf "$fix"
mkdir -m 700 "$fix"
trap 'stop_helpers; rm -rf "$tmp"' EXIT
# NAME WHY: the one check that failed, the tally, and the end of the run.
give_up() { record "$1" "$2"; finish; exit; }

# This tree's own package is the unsigned release: a tree configured to sign (a publisher's
# -DDORVANE_SIGN_... kept in its cache) is named in one line rather than failing later.
if [ -n "$(jq -r '.source // empty' "$build/signing.json" 2>/dev/null)" ]; then
  give_up "$build is configured to sign (its signing.json names a key); the release tests need an unsigned tree" \
    "configure it again without signing: cmake -U 'DORVANE_SIGN_*' $build"
fi
# The release command as the README gives it; file dates and signing time come from git.
# A preset's build made in another folder (cmake --preset NAME -B DIR) is built there.
step "the README's release command in $build"
(
  unset SOURCE_DATE_EPOCH
  if [ -n "$preset" ] && [ "$(realpath -m "$src/build/$preset")" = "$(realpath -m "$build")" ]; then
    cd "$src" && cmake --build --preset "$preset" --target package
  else
    cmake --build "$build" --target package
  fi
) >"$fix/main.log" 2>&1 || { cat "$fix/main.log"; exit 1; }
# The package's names as the build resolved them.
# shellcheck disable=SC2034 # (written to fixture.env by name)
IFS=$'\t' read -r version base zip msi sbom provenance envelope bundle checksum folder DORVANE_NODE_MODULES has_records < <(jq -r '[.version,
  (.package | .base, (.files | .zip, .msi, .sbom, .provenance, .envelope, .bundle), .checksum, .folder, .node_modules, .records)] | @tsv' "$build/project.json")
# (The packages' folder in any tree, as CMake names it; this tree's.)
packages=$build/$folder
export DORVANE_NODE_MODULES
# The SBOM and provenance are made where the configure found Node.js, the npm packages and
# python3-apt (project.json says: a tree configured before they were installed makes none);
# a tree with uncommitted changes (a developer's) gets no provenance.
dirty=""
# shellcheck disable=SC2034 # (written to fixture.env by name)
[ "$has_records" != 1 ] || [ -z "$(git -C "$src" status --porcelain --untracked-files=no 2>/dev/null)" ] || dirty=1

# The sources elsewhere, as a checkout of their own whose one commit is the sources as they
# are (uncommitted changes too), dated as HEAD: release.sh releases a commit, and takes its
# time from git.
step "the copy of the sources"
copy_sources "$src" "$fix/src"
epoch=$(env -u SOURCE_DATE_EPOCH cmake -DSOURCE_DIR="$src" -P "$src/cmake/source_date_epoch.cmake")
# shellcheck disable=SC2034 # (written to fixture.env by name: this tree's records name it)
tree_commit=$(git -C "$src" rev-parse HEAD 2>/dev/null || true)
commit=$(cd "$fix/src" && git init -q && git add -A && GIT_COMMITTER_DATE=@$epoch git -c user.name=t -c user.email=t@t \
  commit -q --date=@"$epoch" -m "the copy" && git rev-parse HEAD) || { echo "cannot commit the copy"; exit 1; }
# The ARM64 sysroot and the npm packages of this build tree serve the copy too.
toolchain_cache=()
for key in DORVANE_ARM64_CACHE DORVANE_NODE_MODULES; do
  line=$(grep -m1 "^$key:" "$build/CMakeCache.txt") && toolchain_cache+=(-D"$key=${line#*=}")
done

step "the test token and the timestamp authorities"
keys=$fix token_setup
start_authorities "$fix/tsa"

# The signed release, as a job runs release.sh: from a folder of its own, the PIN file and
# the certificate named relative to it, this preset alone; every program it starts traced.
step "scripts/release.sh, signed and timestamped, traced (a whole build)"
rel=$fix/rel job=$fix/job sources=$fix/src
# (A tree configured without a preset is released as its architecture's preset.)
[ -n "$preset" ] || preset=$(jq -r --arg arch "$arch" '.architectures[$arch].preset' "$src/release/contract.json")
release_setup
mkdir -m 700 "$job"
cp "$fix/pin" "$job/pin"
cp "$fix/token-cert.pem" "$job/chain.pem"
cp "$fix/token-cert.pem" "$fix/release-ca.pem"
# A program of the run asks the agent for the PIN, as a compiler, CPack or an npm package
# could: the cmake on the PATH, when release.sh builds with it, asks with Debian's python
# running release/secret.py as sign.sh does, then on the socket itself, and says what it
# got (by length: the PIN itself goes nowhere).
mkdir "$fix/askers"
write_asker "$fix/ask.py"
cat >"$fix/askers/cmake" <<EOF
#!/bin/bash
if [ "\${1-}" = --build ] && [ -f "\$2/signing.json" ]; then
  name=\$(jq -r .agent "\$2/signing.json")
  for asker in secret.py socket; do
    if [ \$asker = secret.py ]; then
      got=\$(/usr/bin/python3 "$sources/release/secret.py" sign.sh ask "\$name" pin 2>/dev/null)
    else
      got=\$(/usr/bin/python3 "$fix/ask.py" "\$name")
    fi
    status=\$?
    said="\${#got} bytes"
    [ "\$got" != "\$(<"$fix/pin")" ] || said="the PIN"
    echo "\$asker: status \$status, \$said" >>"$fix/askers.log"
  done
fi
exec $(command -v cmake) "\$@"
EOF
chmod +x "$fix/askers/cmake"
stamped_by=$secure
status=0
release "$fix/release.log" "$fix/exec-release.log" DORVANE_SIGN_PIN_FILE=pin PATH="$fix/askers:$PATH" -- \
  "${where[@]}" "${toolchain_cache[@]}" "${signs[@]}" "${stamps[@]}" || status=$?
stop_helpers
final=$(sed -n 's/^release [^:]*: //p' "$fix/release.log")
if [ $status != 0 ] || [ -z "$final" ] || [ ! -f "$final/SHA256SUMS" ]; then
  give_up "the signed release by scripts/release.sh" "status $status: $(tail -5 "$fix/release.log" | tr '\n' ' ')"
fi
# As built: the tests that sign and release again rebuild the tree. With the exe and map,
# what release.sh --no-build reads of the tree, as it was signed (the signing test
# configures the tree again).
mkdir -p "$fix/signed/package"
cp "$rel/$preset/"{dorvane.exe,dorvane.map,project.json,signing.json,CMakeCache.txt} "$fix/signed/"
find "$rel/$preset/$folder" -maxdepth 1 -name 'dorvane-*' -type f -exec cp {} "$fix/signed/package/" \;

# An older version's MSI (0.0.1) of the same members, its exe one byte longer, for the
# upgrade rows: the release tools' own MSI step, as the package step runs it.
step "the older version's MSI"
older_members=$fix/older/members/${base/$version/0.0.1}
mkdir -p "$fix/older/members"
(cd "$fix/older/members" && cmake -E tar xf "$packages/$zip" && mv "$base" "${base/$version/0.0.1}")
printf '\0' >>"$older_members/dorvane.exe"
sed -i "1s/^DORVANE $version/DORVANE 0.0.1/" "$older_members/README.txt"
/usr/bin/python3 "$src/release/make_msi.py" "$arch" 0.0.1 "$epoch" "$fix/older/${msi/$version/0.0.1}" "$older_members" \
  >"$fix/older.log" 2>&1 || { cat "$fix/older.log"; exit 1; }

{
  for name in src build preset toolchain arch zip base msi sbom provenance envelope bundle checksum folder packages version DORVANE_NODE_MODULES \
    has_records dirty epoch tree_commit commit final module engine token token_uri stamped_by; do
    printf '%s=%q\n' "$name" "${!name}"
  done
  printf 'toolchain_cache=(%s)\n' "$(printf '%q ' "${toolchain_cache[@]}")"
} >"$fix/fixture.env"
record "the releases made: $zip and $msi here, signed ones by release.sh in $final" ""
finish
