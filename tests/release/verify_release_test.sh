#!/usr/bin/env bash
# scripts/verify-release end to end, on the releases release.build made once for this build
# tree (tests/wine/release_fixture.sh): this tree's unsigned package; the one scripts/release.sh
# signed with the test token and timestamped, and the release folder it made of it. Each row
# checks the status, the lines, the tally, the folder left as it was, TMPDIR empty, no
# traceback, nothing planted run and no tool left running. What the verifier makes of crafted
# bytes (each format, chains, CRLs, the policy, the command line) is tested in process
# (tests/verify, verify.unit); here, what takes the build's own packages.
# usage: verify_release_test.sh SOURCE_DIR BUILD_DIR
set -u
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../checks.sh"
fix=$(cd "$2" && pwd)/release-fixture
[ -f "$fix/fixture.env" ] ||
  { record "the releases of release.build in $fix" "none: ctest runs release.build with this test (not with -FS)"; finish; exit; }
packages="" zip="" msi="" sbom="" provenance="" envelope="" bundle="" checksum="" base="" final="" has_records=0
# shellcheck source=/dev/null # (the fixture's facts)
source "$fix/fixture.env"
src=$(cd "$1" && pwd)
[ "$has_records" = 1 ] || {
  echo "left out: every row (no Node.js, npm packages or python3-apt: scripts/ensure-tools.sh records)"
  record "the records' tools are missing: nothing to check" ""; finish; exit
}
# By hand: VERIFY_RELEASE=scripts/verify-release of a copy of the sources (a fault planted
# in its release/verify/) and VERIFY_RELEASE_ROWS=a regular expression of the rows to run.
verify=${VERIFY_RELEASE:-$src/scripts/verify-release}
rows=${VERIFY_RELEASE_ROWS:-.}
# The one file a user copies, made as the host build makes it, from the same sources (run
# outside any checkout by the SHARED rows; docs.commands runs the one release.sh hands over).
verify_src=$(cd "$(dirname "$verify")/.." && pwd)
mkdir -p "$tmp/shared/x" "$tmp/shared/release/sbom"
/usr/bin/python3 -I "$verify_src/release/pack_verifier.py" "$verify_src" "$tmp/shared/x/verify" ||
  { echo "cannot make the verifier's one file"; exit 1; }

# The fixture's releases, copied; the signer's certificate, its public key and the timestamps' root.
mkdir "$tmp/good"
cp "$packages/$base".* "$tmp/good/"
cp -a "$fix/signed/package" "$tmp/token"
cp -a "$final" "$tmp/final"
sums=$(sha256sum <"$final/SHA256SUMS" | cut -c1-64)
cert=$fix/token-cert.pem tsa_root=$fix/tsa/ca.pem
openssl x509 -in "$cert" -pubkey -noout >"$tmp/pub.pem"
cat "$cert" "$tsa_root" >"$tmp/cert-and-tsa.pem"
# The words of the table's extra arguments that stand for a file or a value.
declare -A stands_for=([CERT]=$cert [PUB]=$tmp/pub.pem [BOTH]=$tmp/cert-and-tsa.pem [TSAROOT]=$tsa_root [SUMS]=$sums [SRC]=$src)
# (The row run beside the others, and the verifier it runs, are stopped with the test.)
trap '[ -z "${beside-}" ] || { pkill -TERM -P "$beside"; kill "$beside"; } 2>/dev/null; rm -rf "$tmp"' EXIT
trap 'exit 1' TERM INT HUP
# The tools it uses, but one; and osslsigncode as a stand-in that waits (its process id
# written down), for a signal.
for without in osslsigncode msitools; do
  mkdir "$tmp/no-$without"
  for tool in openssl osslsigncode msiinfo msiextract msibuild node; do
    case $without:$tool in osslsigncode:osslsigncode | msitools:msi*) continue ;; esac
    ! command -v "$tool" >/dev/null || ln -s "$(command -v "$tool")" "$tmp/no-$without/"
  done
done
stub() { printf '#!/bin/sh\n%s\n' "$2" >"$1" && chmod +x "$1"; }  # FILE SCRIPT
mkdir "$tmp/waits"
stub "$tmp/waits/osslsigncode" "echo \$\$ >'$tmp/waits.pid'; exec sleep 60"
# A helper planted where a verifier might look for one beside itself, in a shared folder,
# and tools it runs, in the working folder it is run from (PATH starts with ".").
printf 'import fs from "fs";\nfs.writeFileSync("%s/planted-ran", "");\n' "$tmp" >"$tmp/shared/release/sbom/records.mjs"
for tool in osslsigncode msiinfo openssl; do stub "$tmp/shared/x/$tool" "touch '$tmp/planted-ran'; exit 1"; done

# py DIR CODE: Python in a copy, with the ZIP's name (zip_name), base, exe (the ZIP's exe)
# and rewrite (a ZIP's members replaced).
py() {
  /usr/bin/python3 - "$1" "$zip" "$base" "$2" <<'EOF'
import os, sys, zipfile
d, zip_name, base, code = sys.argv[1:]
os.chdir(d)
class Unseekable:  # no tell(): a ZIP written through it gets data descriptors, as the build writes its ZIPs
    def __init__(self, path):
        self.out = open(path, "wb")
        self.write, self.flush = self.out.write, self.out.flush
def rewrite(name, members):
    with zipfile.ZipFile(name) as old:
        entries = [(info, old.read(info)) for info in old.infolist()]
    sink = Unseekable(name)
    with zipfile.ZipFile(sink, "w", zipfile.ZIP_DEFLATED) as new:
        for info, data in entries:
            new.writestr(info, members.get(info.filename, data))
    sink.out.close()
def exe(name=zip_name):
    return zipfile.ZipFile(name).read(base + "/dorvane.exe")
exec(code)
EOF
}

plant() {  # CASE DIR: the tampering of one row (if any), then every checksum beside a file redone
  local d=$2
  case $1 in
    zip-exe-differs) TOKEN_ZIP=$tmp/token/$zip py "$d" 'rewrite(zip_name, {base + "/dorvane.exe": exe(os.environ["TOKEN_ZIP"])})' ;;
    # The first entry's local header gives a size its central directory does not: a reader of
    # the ZIP takes the exe from the MSI.
    zip-refused) py "$d" 'b = bytearray(open(zip_name, "rb").read()); b[22] ^= 1; open(zip_name, "wb").write(b)' ;;
    planted-tools)
      mkdir "$d/tools" && stub "$d/tools/osslsigncode" "touch '$tmp/planted-ran'; exit 0" ;;
    *) return ;;
  esac
  local file
  for file in "$d"/*; do
    case $file in *"$checksum" | */SHA256SUMS) continue ;; esac
    [ ! -f "$file" ] || (cd "$d" && sha256sum -- "${file##*/}" >"${file##*/}$checksum")
  done
}
export DORVANE_NODE_MODULES

# case | release | extra arguments | status | lines that must be there (~ between them; a !
# before one that must not)
cases=(
  "good|good|--schema SRC|0|^[1-9][0-9]* passed, 0 failed~^proved: consistency \\(each ZIP laid out as the build lays one out.*; NOT proved: that the files' contents \\(the exe's code\\) are the build's, which takes an anchor or --rebuild; integrity only as far as the files match the checksums beside them: this catches damage, not tampering; the origin was NOT checked~^ok   $sbom passes the CycloneDX 1.6 schema"
  "token|token|--ca BOTH --schema SRC|0|^proved: .*origin with the roots in .*: signed by \"CN=DORVANE token signing\" \\(itself a root~^ok   $zip: dorvane.exe: Authenticode signature by \"CN=DORVANE token signing\" verifies, timestamped [0-9]{4}-~^ok   $msi: Authenticode signature by .* verifies, timestamped [0-9]{4}-~^ok   every file is part of the signed release~^ok   $bundle: its signature verifies with the exe's signer's key"
  "token-key|token|--key PUB|1|^FAIL $msi: Authenticode signature by .* verifies: its RFC 3161 timestamp does not verify with the system's roots \\(if the publisher"
  # The one rebuild: the recorded commit of the fixture's copy of the sources, built again.
  "rebuilt|token|--key PUB --tsa-ca TSAROOT --rebuild FIXSRC|0|^ok   $msi: Authenticode signature by .* verifies, timestamped [0-9]{4}-~^ok   $bundle: its signature verifies with the key given~^ok   rebuilt, byte for byte: dorvane.exe$~^proved: .*origin with the key.*; the rebuild made the same bytes: dorvane.exe, README.txt, LICENSE, THIRD-PARTY-NOTICES.txt"
  "sums|final|--sums SUMS|0|^proved: .*origin through the SHA256SUMS~^ok   SHA256SUMS is the one whose SHA-256 was given"
  "release|final|--ca CERT --tsa-ca TSAROOT --sums SUMS|0|^ok   SHA256SUMS is the one whose SHA-256 was given~^ok   every file is part of the signed release~^proved: integrity, .*origin with the roots"
  "zip-exe-differs|good||1|^FAIL $msi holds the same files as $zip: its dorvane.exe .* differs"
  "zip-refused|good||1|^FAIL $zip is laid out as the build lays out a ZIP, each entry exactly one deflate stream: $base/LICENSE: its sizes or CRC differ between its local header and the central directory~^ok   $msi: dorvane.exe is a PE for win64~!^ok   $zip: dorvane.exe"
  "no-osslsigncode|token|NOSSL|0|^     not checked here: $zip: dorvane.exe's Authenticode signature \\(no osslsigncode 2.9 or later\\)~^     not checked here: $provenance's signed true against the exe~^     not checked here: $envelope's signature by the exe's signer"
  "no-msitools|good|NOMSI|0|^proved: consistency \\(.*\\); but for the tables and files inside $msi, which could not be checked here"
  "planted-tools|token|--ca BOTH SHARED|1|^FAIL tools/osslsigncode: not part of the signed release~^ok   $zip: dorvane.exe: Authenticode signature by .* verifies, timestamped"
  "planted-helper|good|SHARED|0|^     not checked here: $sbom against the CycloneDX 1.6 schema"
  # The signal comes while a tool it started (the stand-in osslsigncode) runs.
  "signal-term|token|--ca BOTH WAITS SIGTERM|143|stopped by SIGTERM"
)
quote() { sed -E 's/([0-9]+) passed, ([0-9]+) failed/\1 passed; \2 failed/; s/^/  | /'; }
state() { (cd "$1" && find . -printf '%p %y %s %T@ %m %l\n' | sort && find . -type f -print0 | sort -z | xargs -0 -r sha256sum); }
check() {  # ROW: one row of the table, its files named after it
  local name from extra want lines copy why limit args path how word before start status took pattern patterns \
    counted tally left shown out
  IFS='|' read -r name from extra want lines <<<"$1"
  copy=$tmp/case-$name out=$tmp/$name.out
  cp -a "$tmp/$from" "$copy"
  why=""
  plant "$name" "$copy" >"$tmp/$name.plant" 2>&1 || { why="the tampering could not be made"; cat "$tmp/$name.plant"; }
  limit=20 args=() path=$PATH how=plain
  for word in $extra; do
    case $word in
      FIXSRC) args+=("$fix/src") limit=400 ;;
      NOSSL) path=$tmp/no-osslsigncode ;;
      NOMSI) path=$tmp/no-msitools ;;
      WAITS) path=$tmp/waits:$PATH ;;
      SIG* | SHARED) how=$word ;;
      *) args+=("${stands_for[$word]-$word}") ;;
    esac
  done
  before=$(state "$copy")
  rm -rf "$tmp/$name.tmp" && mkdir "$tmp/$name.tmp"
  rm -f "$tmp/waits.pid" "$tmp/planted-ran"
  start=$(date +%s)
  case $how in
    plain) PATH=$path TMPDIR=$tmp/$name.tmp "$verify" "$copy" "${args[@]}" >"$out" 2>&1 ;;
    SHARED) (cd "$tmp/shared/x" && PATH=.:$copy/tools:$PATH TMPDIR="$tmp/$name.tmp" ./verify "$copy" "${args[@]}") >"$out" 2>&1 ;;
    SIG*)
      PATH=$path TMPDIR=$tmp/$name.tmp "$verify" "$copy" "${args[@]}" >"$out" 2>&1 &
      for _ in $(seq 100); do [ -s "$tmp/waits.pid" ] && break; sleep 0.1; done
      kill -s "${how#SIG}" $!
      wait $! ;;
  esac
  status=$?
  took=$(($(date +%s) - start))
  [ "$status" = "$want" ] || why=$(why_not "$why" "status $status, expected $want")
  ! grep -q Traceback "$out" || why=$(why_not "$why" "a traceback")
  [ ! -e "$tmp/planted-ran" ] || why=$(why_not "$why" "it ran a file planted for it")
  if [ -s "$tmp/waits.pid" ] && kill -0 "$(cat "$tmp/waits.pid")" 2>/dev/null; then
    why=$(why_not "$why" "the tool it started still runs")
    kill "$(cat "$tmp/waits.pid")"
  fi
  IFS='~' read -ra patterns <<<"$lines"
  for pattern in "${patterns[@]}"; do
    if [[ $pattern == '!'* ]]; then
      ! grep -qE -- "${pattern#!}" "$out" || why=$(why_not "$why" "a line /${pattern#!}/")
    else
      grep -qE -- "$pattern" "$out" || why=$(why_not "$why" "no line /$pattern/")
      shown=$pattern
    fi
  done
  if [ "$want" -lt 2 ]; then  # its tally counts its own verdicts, one per ok or FAIL line, and nothing else
    counted=$(grep -cE '^(ok  |FAIL) ' "$out")
    tally=$(tail -1 "$out" | sed -nE 's/^([0-9]+) passed, ([0-9]+) failed$/\1 + \2/p')
    [ -n "$tally" ] && [ $((tally)) = "$counted" ] || why=$(why_not "$why" "its tally is not its $counted verdicts")
  fi
  [ "$(state "$copy")" = "$before" ] || why=$(why_not "$why" "it changed the folder")
  left=$(find "$tmp/$name.tmp" -mindepth 1 -maxdepth 1 -printf '%f ' | head -c 200)
  [ -z "$left" ] || why=$(why_not "$why" "it left ${left}in TMPDIR")
  [ "$took" -le "$limit" ] || why=$(why_not "$why" "it took $took s, over $limit s")
  record "$name: status $want, $(grep -m1 -E -- "$shown" "$out" | sed -E "s/^(ok|FAIL) +//" | quote | cut -c5-94)" "$why"
  [ -z "$why" ] || quote <"$out" | head -60
  rm -rf "$copy"
}
# The rebuild, a build's work, runs beside the rest; its verdicts are counted after them.
for row in "${cases[@]}"; do
  [[ $row == rebuilt\|* && rebuilt =~ $rows ]] && { check "$row" >"$tmp/rebuilt.log" 2>&1 & beside=$!; }
done
for row in "${cases[@]}"; do
  [[ ${row%%|*} =~ $rows && $row != rebuilt\|* ]] && check "$row"
done
if [ -n "${beside-}" ]; then
  wait "$beside"
  grep -vE '^(ok  |FAIL) ' "$tmp/rebuilt.log"
  replay "" "$tmp/rebuilt.log"
fi

finish
