#!/usr/bin/env bash
# scripts/verify-release against releases made here by the README's release commands from a
# throwaway repository of the tracked sources: a good one passes, with --rebuild too; each
# hostile one fails, naming the problem, within its time, leaving the folder it read as it
# was and nothing in its TMPDIR.
# usage: verify_release_test.sh SOURCE_DIR PRESET [NODE_MODULES [ARM64_CACHE]]
#   (the SBOM's npm packages and the ARM64 sysroot cache, reused as they are)
set -u
src=$(cd "$1" && pwd)
preset=$2
export DORVANE_NODE_MODULES=${3-}
[ -n "$DORVANE_NODE_MODULES" ] || unset DORVANE_NODE_MODULES
arm64_cache=${4-}
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../checks.sh"
verify=$src/scripts/verify-release

# Two commits: the sources as they are, and one more a minute later (same files, later
# dates in the packages).
copy_sources "$src" "$tmp/git"
(
  cd "$tmp/git" && git init -q && git add -A &&
    GIT_COMMITTER_DATE=@1767225600 git -c user.name=t -c user.email=t@t commit -q -m one --date=@1767225600 &&
    GIT_COMMITTER_DATE=@1767225660 git -c user.name=t -c user.email=t@t commit -q --allow-empty -m two
) || { echo "cannot make the test repository"; exit 1; }
one=$(git -C "$tmp/git" rev-parse HEAD~1)
two=$(git -C "$tmp/git" rev-parse HEAD)
cache=()
[ -z "$arm64_cache" ] || cache=("-DDORVANE_ARM64_CACHE=$arm64_cache" --arm64-cache "$arm64_cache")

release() {  # NAME [CMAKE_ARG...]: the release of commit one, in $tmp/NAME
  local name=$1
  shift
  git clone -q "$tmp/git" "$tmp/$name-src" && git -C "$tmp/$name-src" checkout -q "$one" &&
    (cd "$tmp/$name-src" && cmake --preset "$preset" -DDORVANE_BUILD_TESTS=OFF "${cache[@]:0:1}" \
      ${DORVANE_NODE_MODULES:+"-DDORVANE_NODE_MODULES=$DORVANE_NODE_MODULES"} "$@" &&
      cmake --build --preset "$preset" --target package) >"$tmp/$name.log" 2>&1 ||
    { cat "$tmp/$name.log"; exit 1; }
  mkdir "$tmp/$name"
  find "$tmp/$name-src/build/$preset/package" -maxdepth 1 -type f -name 'dorvane-*' -exec cp {} "$tmp/$name" \;
}
openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=DORVANE verify test" \
  -addext extendedKeyUsage=codeSigning -keyout "$tmp/key.pem" -out "$tmp/cert.pem" 2>/dev/null
openssl x509 -in "$tmp/cert.pem" -pubkey -noout >"$tmp/pub.pem"
release good
release signed -DDORVANE_SIGN_CERT="$tmp/cert.pem" -DDORVANE_SIGN_KEY="$tmp/key.pem"
zip=$(cd "$tmp/good" && ls dorvane-*.zip)
base=${zip%.zip}
# A release folder as scripts/release.sh makes it: SHA256SUMS over every file.
cp -a "$tmp/good" "$tmp/sums"
(cd "$tmp/sums" && sha256sum -- * >SHA256SUMS)
sums=$(sha256sum <"$tmp/sums/SHA256SUMS" | cut -c1-64)
echo outside >"$tmp/outside"
# The verifier copied alone, as a user downloads it.
mkdir "$tmp/alone"
cp "$verify" "$tmp/alone/"
# The tools it uses, but osslsigncode.
mkdir "$tmp/no-osslsigncode"
for tool in openssl msiinfo msiextract node; do
  ! command -v "$tool" >/dev/null || ln -s "$(command -v "$tool")" "$tmp/no-osslsigncode/"
done

# The signed release, its MSI signed anew with a timestamp from an authority of the test's
# own (tests/wine/tsa.py), its records redone to match; the authority's root is not the
# system's.
tsa=$tmp/tsa
mkdir "$tsa"
python3 "$here/../wine/tsa.py" "$tsa" &
authority=$!
trap 'kill "$authority" 2>/dev/null; rm -rf "$tmp"' EXIT
trap 'exit 1' TERM INT HUP
for _ in $(seq 100); do [ -s "$tsa/port" ] && break; sleep 0.1; done
cp -a "$tmp/signed" "$tmp/stamped"
(
  cd "$tmp/stamped" && osslsigncode remove-signature -in "$base.msi" -out "$tmp/unsigned.msi" &&
    osslsigncode sign -certs "$tmp/cert.pem" -key "$tmp/key.pem" -h sha256 -ts "http://127.0.0.1:$(cat "$tsa/port")/" \
      -in "$tmp/unsigned.msi" -out "$tmp/stamped.msi"
) >"$tmp/stamped.log" 2>&1 || { cat "$tmp/stamped.log"; exit 1; }
kill "$authority" 2>/dev/null
cat "$tmp/cert.pem" "$tsa/ca.pem" >"$tmp/cert-and-tsa.pem"

# Tampering, each on a copy. py DIR CODE: Python in the copy, with the ZIP's name (zip_name),
# base, rewrite (a ZIP's members replaced, added or dropped) and redo (every record's hash
# of a file redone, as a forger would).
py() {
  python3 - "$1" "$zip" "$base" "$2" <<'EOF'
import base64, hashlib, json, os, struct, sys, zipfile
d, zip_name, base, code = sys.argv[1:]
os.chdir(d)
def rewrite(name, members):
    with zipfile.ZipFile(name) as old:
        entries = [(info, old.read(info)) for info in old.infolist()]
    with zipfile.ZipFile(name, "w", zipfile.ZIP_DEFLATED) as new:
        for info, data in entries:
            data = members.pop(info.filename, data)
            if data is not None:
                new.writestr(info, data)
        for member, data in members.items():
            new.writestr(member, data)
def redo(name, old):
    data = open(name, "rb").read()
    for record in (base + ".cdx.json", base + ".provenance.json"):
        if os.path.exists(record):
            before = text = open(record, "rb").read()
            for algorithm in (hashlib.sha256, hashlib.sha512):
                text = text.replace(algorithm(old).hexdigest().encode(), algorithm(data).hexdigest().encode())
            open(record, "wb").write(text)
            if record.endswith(".cdx.json") and text != before:
                redo(record, before)
def exe(name=zip_name):
    return zipfile.ZipFile(name).read(base + "/dorvane.exe")
def envelope(key):  # the envelope (and its bundle) made anew over the provenance, signed with KEY
    import subprocess
    n, payload = base + ".intoto.jsonl", open(base + ".provenance.json", "rb").read()
    doc = json.loads(open(n).read())
    kind = doc["payloadType"].encode()
    pae = b"DSSEv1 %d %s %d %s" % (len(kind), kind, len(payload), payload)
    sig = subprocess.run(["openssl", "dgst", "-sha256", "-sign", key], input=pae, capture_output=True, check=True).stdout
    doc["payload"], doc["signatures"] = base64.b64encode(payload).decode(), [dict(doc["signatures"][0], sig=base64.b64encode(sig).decode())]
    open(n, "w").write(json.dumps(doc) + "\n")
    if os.path.exists(base + ".sigstore.json"):
        bundle = json.load(open(base + ".sigstore.json"))
        bundle["dsseEnvelope"] = doc
        open(base + ".sigstore.json", "w").write(json.dumps(bundle) + "\n")
def flip_sig(name):  # a bit of the first signature of the envelope in NAME (a bundle's too) changed
    doc = json.loads(open(name).read())
    signature = doc.get("dsseEnvelope", doc)["signatures"][0]
    sig = bytearray(base64.b64decode(signature["sig"]))
    sig[len(sig) // 2] ^= 1
    signature["sig"] = base64.b64encode(sig).decode()
    open(name, "w").write(json.dumps(doc) + "\n")
exec(code)
EOF
}

plant() {  # CASE DIR: the tampering of one row, then every checksum redone (but in two rows)
  local d=$2
  case $1 in
    zip-byte) py "$d" 'b = bytearray(open(zip_name, "rb").read()); b[len(b) // 2] ^= 1; open(zip_name, "wb").write(b)' ;;
    other-sha256) cp "$d/$base.msi.sha256" "$d/$zip.sha256" ;;
    sbom-exe-hash)
      py "$d" 'n = base + ".cdx.json"; doc = json.load(open(n)); doc["metadata"]["component"]["hashes"][0]["content"] = "0" * 64; json.dump(doc, open(n, "w"))' ;;
    subject-digest)
      py "$d" 'n = base + ".provenance.json"; doc = json.load(open(n)); doc["subject"][1]["digest"]["sha256"] = "0" * 64; json.dump(doc, open(n, "w"))' ;;
    cut-signature) py "$d" 'rewrite(zip_name, {base + "/dorvane.exe": exe()[:-300]})' ;;
    zip-exe-differs) py "$d" 'rewrite(zip_name, {base + "/dorvane.exe": exe(os.environ["SIGNED_ZIP"])})' ;;
    extra-dll)
      rm "$d/$base".{cdx.json,provenance.json}*
      py "$d" 'rewrite(zip_name, {base + "/version.dll": b"MZ" + bytes(500)})' ;;
    extra-dll-redone)
      py "$d" 'old = open(zip_name, "rb").read(); rewrite(zip_name, {base + "/version.dll": b"MZ" + bytes(500)}); redo(zip_name, old)' ;;
    no-records-*) rm "$d/$base".{cdx.json,provenance.json,intoto.jsonl,sigstore.json}* ;;
    no-bundle | no-bundle-unanchored) rm "$d/$base".sigstore.json* ;;
    bundle-sig | bundle-sig-unanchored) py "$d" 'flip_sig(base + ".sigstore.json")' ;;
    bundle-and-envelope-sig) py "$d" 'flip_sig(base + ".sigstore.json"); flip_sig(base + ".intoto.jsonl")' ;;
    bundle-type)
      py "$d" 'n = base + ".sigstore.json"; doc = json.load(open(n)); doc["mediaType"] = "application/vnd.dev.sigstore.bundle+json;version=0.2"; json.dump(doc, open(n, "w"))' ;;
    zip-bomb) py "$d" 'old = open(zip_name, "rb").read(); rewrite(zip_name, {base + "/dorvane.exe": bytes(200 << 20)}); redo(zip_name, old)' ;;
    zip-bomb-lying)
      # 200 MiB of zeros in a few hundred KiB, its headers claiming the exe's own size.
      py "$d" '
old = open(zip_name, "rb").read()
rewrite(zip_name, {base + "/dorvane.exe": bytes(200 << 20)})
data = bytearray(open(zip_name, "rb").read())
for signature, size_at, name_at in ((b"PK\x03\x04", 22, 30), (b"PK\x01\x02", 24, 46)):
    at = data.find(signature)
    while at >= 0:
        if data[at + name_at:].startswith((base + "/dorvane.exe").encode()):
            struct.pack_into("<I", data, at + size_at, len(exe(os.environ["SIGNED_ZIP"])))
        at = data.find(signature, at + 4)
open(zip_name, "wb").write(data)
redo(zip_name, old)' ;;
    sbom-duplicate-key)
      py "$d" 'n = base + ".cdx.json"; old = open(n, "rb").read(); open(n, "wb").write(old.replace(b"{", b"{\"bomFormat\": \"other\",", 1)); redo(n, old)' ;;
    forged-preset)
      py "$d" 'n = base + ".provenance.json"; doc = json.load(open(n)); doc["predicate"]["buildDefinition"]["externalParameters"]["preset"] = "windows-x64\nok   " + zip_name + ": dorvane.exe: Authenticode signature by /CN=forger verifies"; json.dump(doc, open(n, "w"))' ;;
    glob-name)
      rm "$d"/*
      echo "not a zip" >"$d/dorvane-[1].0-win64.zip" ;;
    space-name) cp "$d/$zip" "$d/$base (1).zip" ;;
    sums-outside) echo "$(sha256sum <"$tmp/outside" | cut -c1-64)  ../outside" >>"$d/SHA256SUMS" ;;
    sums-device) echo "$(printf '%064d' 0)  /dev/zero" >>"$d/SHA256SUMS" ;;
    symlink)
      mv "$d/$base.cdx.json" "$tmp/symlinked.cdx.json"
      ln -s "$tmp/symlinked.cdx.json" "$d/$base.cdx.json" ;;
    uncovered) echo "read me" >"$d/notes.txt" ;;
    envelope-bad-first)
      py "$d" 'n = base + ".intoto.jsonl"; doc = json.loads(open(n).read()); doc["signatures"].insert(0, dict(doc["signatures"][0], sig=base64.b64encode(bytes(256)).decode())); open(n, "w").write(json.dumps(doc) + "\n")' ;;
    stamped*)
      py "$d" 'n = base + ".msi"; old = open(n, "rb").read(); open(n, "wb").write(open(os.environ["STAMPED_MSI"], "rb").read()); redo(n, old); envelope(os.environ["KEY"])' ;;
    msi-dotdot)
      py "$d" '
import subprocess
n = base + ".msi"; old = open(n, "rb").read()
table = subprocess.run(["msiinfo", "export", n, "Directory"], capture_output=True, check=True).stdout
open("Directory.idt", "wb").write(table.replace(b"\tDORVANE\r", b"\t..|..\r"))
subprocess.run(["msibuild", n, "-i", "Directory.idt"], check=True); os.remove("Directory.idt"); redo(n, old)' ;;
    envelope-type)
      py "$d" 'n = base + ".intoto.jsonl"; doc = json.loads(open(n).read()); doc["payloadType"] = "application/json"; open(n, "w").write(json.dumps(doc) + "\n")' ;;
  esac
  case $1 in zip-byte | other-sha256 | uncovered) return ;; esac
  local file
  for file in "$d"/*; do
    case $file in *.sha256 | */SHA256SUMS) continue ;; esac
    [ ! -f "$file" ] || [ -L "$file" ] || (cd "$d" && sha256sum -- "${file##*/}" >"${file##*/}.sha256")
  done
}

# case | release | extra arguments | status | lines that must be there (~ between them; a !
# before one that must not)
cases=(
  "good|good||0|^[1-9][0-9]* passed, 0 failed~^proved: integrity and consistency only; the origin was NOT checked"
  "signed|signed|--ca CERT|0|^proved: .*origin with the roots~^ok .*dorvane.exe: Authenticode signature by \"/CN=DORVANE verify test\" verifies~^ok   $base.sigstore.json: its signature verifies with the exe's signer's key"
  "signed-key|signed|--key PUB|0|^proved: .*origin with the key~^ok .*$base.msi: Authenticode signature by .* verifies~^ok   $base.sigstore.json is a Sigstore bundle v0.3 of $base.intoto.jsonl~^ok   $base.sigstore.json: its signature verifies with the key given"
  "rebuilt|good|--rebuild GIT|0|^ok   rebuilt, byte for byte: $zip$"
  "zip-byte|good||1|^FAIL $zip.sha256 matches: $zip does not match"
  "other-sha256|good||1|^FAIL $zip.sha256 matches: it is the checksum of $base.msi"
  "sbom-exe-hash|good||1|^FAIL $base.cdx.json: the hashes of dorvane.exe"
  "subject-digest|good||1|^FAIL $base.provenance.json: subject .*: its subject digest is not"
  "cut-signature|signed|--ca CERT|1|^FAIL $zip: dorvane.exe: its signature: damaged"
  "zip-exe-differs|good||1|^FAIL $base.msi holds the same files as $zip: its dorvane.exe .* differs"
  "other-commit|good|--rebuild GIT --commit TWO|1|^FAIL rebuilt, byte for byte: $zip: differs"
  "extra-dll|good||1|^ok   $zip.sha256 matches~^FAIL $zip holds exactly .*: it also holds $base/version.dll"
  "extra-dll-redone|good||1|^ok   $base.provenance.json: subject $zip$~^FAIL $zip holds exactly .*: it also holds $base/version.dll"
  "no-records-key|signed|--key PUB|1|^FAIL $base.intoto.jsonl is there: missing~^FAIL $base.cdx.json is there: missing~^FAIL $base.sigstore.json is there: missing"
  "no-bundle|signed|--key PUB|1|^ok   $base.intoto.jsonl: the envelope's signature verifies~^FAIL $base.sigstore.json is there: missing"
  "no-bundle-unanchored|signed||0|^     $base.sigstore.json: none in this release"
  "bundle-sig|signed|--key PUB|1|^ok   $base.intoto.jsonl: the envelope's signature verifies~^FAIL $base.sigstore.json is a Sigstore bundle .*: its dsseEnvelope is not $base.intoto.jsonl's envelope"
  "bundle-sig-unanchored|signed||1|^FAIL $base.sigstore.json is a Sigstore bundle .*: its dsseEnvelope is not"
  "bundle-and-envelope-sig|signed|--key PUB|1|^FAIL $base.intoto.jsonl: the envelope's signature verifies~^FAIL $base.sigstore.json: its signature verifies with the key given \\(--key\\): it does not verify"
  "bundle-type|signed|--key PUB|1|^FAIL $base.sigstore.json is a Sigstore bundle .*: its mediaType is \"application/vnd.dev.sigstore.bundle\\+json;version=0.2\""
  "no-records-ca|signed|--ca CERT|1|^FAIL $base.provenance.json is there: missing"
  "zip-bomb|good||1|^FAIL $zip: $base/dorvane.exe: (inflates|declares [0-9]+ bytes,) past"
  "zip-bomb-lying|good||1|^FAIL $zip: $base/dorvane.exe: (inflates past|does not unpack)"
  "sbom-duplicate-key|good||1|^FAIL $base.cdx.json is CycloneDX 1.6: .* the key \"bomFormat\" twice"
  "forged-preset|good||1|!^ok .*/CN=forger~^FAIL $base.provenance.json: built from .* with preset \"windows-x64\\\\nok   .*/CN=forger"
  "glob-name|good||2|^verify-release: no release in .*refused: \"dorvane-\\[1\\].0-win64.zip\""
  "space-name|good||1|^FAIL \"$base \\(1\\).zip\" is a release package: not a dorvane-"
  "sums-outside|sums||1|^FAIL SHA256SUMS matches every file it lists .*: names \"../outside\": not a plain relative name"
  "sums-device|sums||1|^FAIL SHA256SUMS matches every file it lists .*: names \"/dev/zero\": not a plain"
  "symlink|good||1|^FAIL $base.cdx.json: is a symbolic link, not a regular file: not opened"
  "uncovered|good||1|^FAIL notes.txt has a checksum: no .sha256 beside it and not in SHA256SUMS"
  "envelope-bad-first|signed|--ca CERT|0|^ok   $base.intoto.jsonl: the envelope's signature verifies with the exe's signer's key \\(signature 2 of 2\\)"
  "stamped|stamped|--ca BOTH|0|^ok   $base.msi: Authenticode signature by .* verifies, timestamped [0-9]{4}-~^ok   $base.intoto.jsonl: the envelope's signature verifies"
  "stamped-untrusted|stamped|--ca CERT|1|^FAIL $base.msi: Authenticode signature by .* verifies: its RFC 3161 timestamp \\(countersignature\\) does not verify with --ca and the system's roots"
  "no-osslsigncode|signed|NOSSL|0|^     not checked here: $zip: dorvane.exe's Authenticode signature \\(no osslsigncode\\)~^     not checked here: $base.provenance.json's signed true against the exe~^     not checked here: $base.intoto.jsonl's signature by the exe's signer"
  "no-osslsigncode-ca|signed|--ca CERT NOSSL|1|^FAIL $zip: dorvane.exe's Authenticode signature: cannot be checked here \\(no osslsigncode\\), so the origin is not proved"
  "msi-dotdot|good||1|^FAIL $base.msi: its Directory table names plain files and folders: DefaultDir \"\\.\\..\\.\\.\" could lead out"
  "envelope-type|signed|--ca CERT|1|^FAIL $base.intoto.jsonl carries .*: its payloadType is \"application/json\""
  "sums-right|sums|--sums SUMS|0|^proved: .*origin through the SHA256SUMS~^ok   SHA256SUMS is the one whose SHA-256 was given"
  "sums-wrong|sums|--sums ZEROS|1|^FAIL SHA256SUMS is the one whose SHA-256 was given .*: its SHA-256 is"
  "alone|good|ALONE|0|^[1-9][0-9]* passed, 0 failed~^     not checked here: $base.cdx.json against the CycloneDX 1.6 schema"
)
quote() { sed -E 's/([0-9]+) passed, ([0-9]+) failed/\1 passed; \2 failed/; s/^/  | /'; }
state() { (cd "$1" && find . -printf '%p %y %s %T@ %m %l\n' | sort && find . -type f -print0 | sort -z | xargs -0 -r sha256sum); }
for row in "${cases[@]}"; do
  IFS='|' read -r name from extra want lines <<<"$row"
  copy=$tmp/case-$name
  cp -a "$tmp/$from" "$copy"
  SIGNED_ZIP=$tmp/signed/$zip STAMPED_MSI=$tmp/stamped.msi KEY=$tmp/key.pem plant "$name" "$copy"
  run=$verify limit=20 args=() path=$PATH
  for word in $extra; do
    case $word in
      CERT) args+=("$tmp/cert.pem") ;;
      BOTH) args+=("$tmp/cert-and-tsa.pem") ;;
      NOSSL) path=$tmp/no-osslsigncode ;;
      PUB) args+=("$tmp/pub.pem") ;;
      GIT) args+=("$tmp/git" --preset "$preset" --commit "$one" "${cache[@]:1}") limit=400 ;;
      TWO) args+=("$two") ;;
      SUMS) args+=("$sums") ;;
      ZEROS) args+=("$(printf '%064d' 0)") ;;
      ALONE) run=$tmp/alone/verify-release ;;
      *) args+=("$word") ;;
    esac
  done
  before=$(state "$copy")
  rm -rf "$tmp/vtmp" && mkdir "$tmp/vtmp"
  start=$(date +%s)
  # The copy alone runs outside any checkout, without the node modules.
  if [ "$run" = "$verify" ]; then
    PATH=$path TMPDIR=$tmp/vtmp "$run" "$copy" "${args[@]}" >"$tmp/out" 2>&1
  else
    (cd "$tmp/alone" && env -u DORVANE_NODE_MODULES TMPDIR="$tmp/vtmp" ./verify-release "$copy" "${args[@]}") >"$tmp/out" 2>&1
  fi
  status=$?
  took=$(($(date +%s) - start))
  why=""
  [ "$status" = "$want" ] || why="status $status, expected $want"
  IFS='~' read -ra patterns <<<"$lines"
  for pattern in "${patterns[@]}"; do
    if [[ $pattern == '!'* ]]; then
      ! grep -qE -- "${pattern#!}" "$tmp/out" || why=$(why_not "$why" "a line /${pattern#!}/")
    else
      grep -qE -- "$pattern" "$tmp/out" || why=$(why_not "$why" "no line /$pattern/")
    fi
  done
  # Its tally counts its own verdicts, one per ok or FAIL line, and nothing else.
  if [ "$want" != 2 ]; then
    counted=$(grep -cE '^(ok  |FAIL) ' "$tmp/out")
    tally=$(tail -1 "$tmp/out" | sed -nE 's/^([0-9]+) passed, ([0-9]+) failed$/\1 + \2/p')
    [ -n "$tally" ] && [ $((tally)) = "$counted" ] || why=$(why_not "$why" "its tally is not its $counted verdicts")
  fi
  [ "$(state "$copy")" = "$before" ] || why=$(why_not "$why" "it changed the folder")
  [ -z "$(ls -A "$tmp/vtmp")" ] || why=$(why_not "$why" "it left $(ls -A "$tmp/vtmp" | head -3 | tr '\n' ' ')in TMPDIR")
  [ "$took" -le "$limit" ] || why=$(why_not "$why" "it took $took s, over $limit s")
  record "$name: status $want, $(grep -m1 -E -- "${patterns[-1]}" "$tmp/out" | sed -E "s/^(ok|FAIL) +//" | quote | cut -c5-94)" "$why"
  [ -z "$why" ] || quote <"$tmp/out" | head -60
done

# The command line: no release, words it does not know, a --sums that is not a digest.
"$verify" "$tmp/git" >/dev/null 2>&1
status1=$?
"$verify" "$tmp/good" --frobnicate >/dev/null 2>&1
status2=$?
"$verify" "$tmp/good" --sums nothex >/dev/null 2>&1
status3=$?
why=""
[ $status1 = 2 ] && [ $status2 = 2 ] && [ $status3 = 2 ] ||
  why="status $status1 for no release, $status2 for an unknown option, $status3 for a --sums that is no digest"
record "status 2 for a folder with no release and for a bad command line" "$why"
finish
