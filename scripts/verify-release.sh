#!/usr/bin/env bash
# Checks a DORVANE release folder as an administrator or a rebuilder gets it: every
# checksum, that the ZIP and the MSI hold the same exe, the Authenticode signatures (and
# who signed), the SBOM's and the provenance's hashes, the provenance's signed envelope;
# with --rebuild, builds the recorded commit and preset elsewhere and compares every file.
# It only reads DIR. One line per check, then "N passed, N failed".
# Exit status: 0 everything holds, 1 something does not, 2 bad command line or no release.
set -u
usage() {
  cat >&2 <<'EOF'
usage: verify-release.sh DIR [--ca CERTS.pem] [--key PUBKEY.pem]
                             [--rebuild SOURCE [--anyway] [--preset NAME] [--commit HASH]
                                               [--arm64-cache DIR]]
  DIR          the downloaded files: dorvane-<version>-<arch>.zip, .msi and the rest
  --ca         certificates to trust for the signatures (else the system's)
  --key        public key of the provenance's envelope (else the exe's signer's)
  --rebuild    a checkout or clone URL of the sources: build the recorded commit and
               preset in a throwaway folder and compare every file byte for byte
  --anyway     rebuild even where this machine's Debian packages differ from the record
  --preset, --commit   instead of the provenance's (a release made without one)
  --arm64-cache        an existing ARM64 sysroot cache for a windows-arm64 rebuild
EOF
  exit 2
}
dir="" source_tree="" anyway=0 preset="" commit="" arm64_cache="" ca="" key=""
while [ $# -gt 0 ]; do
  case $1 in
    --rebuild) [ $# -ge 2 ] || usage; source_tree=$2; shift ;;
    --anyway) anyway=1 ;;
    --preset) [ $# -ge 2 ] || usage; preset=$2; shift ;;
    --commit) [ $# -ge 2 ] || usage; commit=$2; shift ;;
    --arm64-cache) [ $# -ge 2 ] || usage; arm64_cache=$2; shift ;;
    --ca) [ $# -ge 2 ] && [ -f "$2" ] || usage; ca=$(realpath "$2"); shift ;;
    --key) [ $# -ge 2 ] && [ -f "$2" ] || usage; key=$(realpath "$2"); shift ;;
    -*) usage ;;
    *) [ -z "$dir" ] || usage; dir=$1 ;;
  esac
  shift
done
[ -n "$dir" ] && [ -d "$dir" ] || usage
dir=$(cd "$dir" && pwd)
shopt -s nullglob
bases=$(for f in "$dir"/dorvane-*-*.zip "$dir"/dorvane-*-*.msi; do f=${f##*/}; echo "${f%.*}"; done | sort -u)
if [ -z "$bases" ]; then
  echo "verify-release.sh: no release in $dir (no dorvane-<version>-<arch>.zip or .msi)" >&2
  exit 2
fi
for tool in sha256sum python3 msiextract osslsigncode openssl; do
  command -v $tool >/dev/null || { echo "verify-release.sh: $tool is missing" >&2; exit 2; }
done
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../tests/checks.sh"
sha() { sha256sum <"$1" | cut -c1-64; }

# Each checksum file names its file and holds that file's SHA-256.
for file in "$dir"/dorvane-*; do
  name=${file##*/}
  case $name in
    *.sha256)
      [ -e "${file%.sha256}" ] || record "$name" "its file ${name%.sha256} is missing"
      continue ;;
  esac
  why=""
  if [ ! -f "$file.sha256" ]; then
    why="no $name.sha256 beside it"
  else
    read -r want named rest <"$file.sha256"
    [ "${named#\*}" = "$name" ] || why="$name.sha256 is the checksum of ${named:-nothing}, not of $name"
    [ "$want" = "$(sha "$file")" ] || why=$(why_not "$why" "$name does not match $name.sha256")
  fi
  record "$name.sha256 matches" "$why"
done

# Whether an exe's header points to a certificate table: one that osslsigncode cannot find
# (cut off, or not at the end) is a damaged signature, not an unsigned exe.
claims_signature() {
  python3 - "$1" <<'EOF'
import struct, sys
data = open(sys.argv[1], "rb").read()
pe = struct.unpack_from("<I", data, 0x3C)[0]
optional = pe + 24
directories = optional + {0x10B: 96, 0x20B: 112}[struct.unpack_from("<H", data, optional)[0]]
sys.exit(0 if struct.unpack_from("<II", data, directories + 4 * 8)[1] else 1)
EOF
}

# A release folder's list of every file's SHA-256.
if [ -f "$dir/SHA256SUMS" ]; then
  why=""
  (cd "$dir" && sha256sum --quiet --strict -c SHA256SUMS) >"$tmp/sums.log" 2>&1 || why=$(head -3 "$tmp/sums.log" | tr '\n' ' ')
  record "SHA256SUMS matches every file it lists" "$why"
fi

# Authenticode: FILE LABEL. Unsigned passes here; the provenance says whether it should be.
signature() {
  local file=$1 label=$2 why="" signer
  osslsigncode verify -in "$file" ${ca:+-CAfile "$ca"} >"$tmp/verify.log" 2>&1
  local status=$?
  if grep -qE 'No signature found|has no signature' "$tmp/verify.log"; then
    if [[ $file == *.exe ]] && claims_signature "$file"; then
      record "$label: its signature" "damaged: the header names a certificate table that is not there"
      return 0
    fi
    record "$label: not signed" ""
    return 1
  fi
  signer=$(sed -n '/^Signer.s certificate:/,/Subject:/s/^[[:space:]]*Subject: //p' "$tmp/verify.log" | head -1)
  [ $status = 0 ] && grep -q '^Signature verification: ok' "$tmp/verify.log" ||
    why="the signature does not verify: $(grep -iE 'fail|error|mismatch' "$tmp/verify.log" | head -2 | tr '\n' ' ')"
  record "$label: Authenticode signature by ${signer:-nobody} verifies" "$why"
  return 0
}

for base in $bases; do
  zip=$dir/$base.zip msi=$dir/$base.msi
  mkdir -p "$tmp/$base/zip" "$tmp/$base/msi"
  exe=""
  if [ -f "$zip" ]; then
    why=""
    python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$zip" "$tmp/$base/zip" \
      2>"$tmp/unzip.log" || why="does not unpack: $(tail -1 "$tmp/unzip.log")"
    [ -z "$why" ] && [ ! -f "$tmp/$base/zip/$base/dorvane.exe" ] && why="no $base/dorvane.exe in it"
    record "$base.zip unpacks, with $base/dorvane.exe" "$why"
    [ -n "$why" ] || exe=$tmp/$base/zip/$base/dorvane.exe
  else
    record "$base.zip" "missing beside $base.msi"
  fi
  msi_exe=""
  if [ -f "$msi" ]; then
    why=""
    msiextract -C "$tmp/$base/msi" "$msi" >/dev/null 2>"$tmp/msi.log" || why="does not unpack: $(tail -1 "$tmp/msi.log")"
    msi_exe=$(find "$tmp/$base/msi" -name dorvane.exe | head -1)
    [ -n "$why" ] || [ -n "$msi_exe" ] || why="holds no dorvane.exe"
    if [ -z "$why" ] && [ -n "$exe" ]; then
      cmp -s "$exe" "$msi_exe" || why="its dorvane.exe ($(sha "$msi_exe" | cut -c1-16)...) differs from $base.zip's ($(sha "$exe" | cut -c1-16)...)"
    fi
    record "$base.msi holds the same dorvane.exe as $base.zip" "$why"
  else
    record "$base.msi" "missing beside $base.zip"
  fi
  [ -n "$exe" ] || exe=$msi_exe

  signed=unknown
  if [ -n "$exe" ]; then
    signature "$exe" "$base.zip: dorvane.exe" && signed=true || signed=false
  fi
  if [ -f "$msi" ]; then
    signature "$msi" "$base.msi" && msi_signed=true || msi_signed=false
    [ $signed = unknown ] || [ $msi_signed = $signed ] ||
      record "$base.msi is signed as its exe is" "the exe is $([ $signed = true ] || echo "not ")signed, the MSI is $([ $msi_signed = true ] || echo "not ")signed"
  fi
  echo "$signed" >"$tmp/$base/signed"
  # The envelope's key: the one given, else the public key of the exe's signer.
  pubkey=$key
  if [ -z "$pubkey" ] && [ $signed = true ]; then
    osslsigncode extract-signature -in "$exe" -out "$tmp/$base/sig.p7" >/dev/null 2>&1 &&
      openssl pkcs7 -inform DER -in "$tmp/$base/sig.p7" -print_certs 2>/dev/null |
      openssl x509 -pubkey -noout >"$tmp/$base/signer.pem" 2>/dev/null && pubkey=$tmp/$base/signer.pem
  fi

  # The SBOM and the provenance: their hashes against the files, read with Python's json.
  python3 - "$dir" "$base" "${exe:-}" "$signed" "$tmp/$base" >"$tmp/$base/json.log" 2>&1 <<'EOF'
import base64, hashlib, json, os, re, sys, urllib.parse
folder, base, exe, signed, work = sys.argv[1:]
def say(name, why=""):
    print(f"ok   {name}" if not why else f"FAIL {name}: {why}")
def digests(path):
    data = open(path, "rb").read()
    return {"SHA-256": hashlib.sha256(data).hexdigest(), "SHA-512": hashlib.sha512(data).hexdigest()}
def load(name):
    try:
        return json.load(open(os.path.join(folder, name), encoding="utf-8")), ""
    except (OSError, ValueError) as error:
        return None, f"not JSON: {error}"
files = {name: os.path.join(folder, name) for name in (base + ".zip", base + ".msi")
         if os.path.isfile(os.path.join(folder, name))}
inner = base + "/dorvane.exe"
if exe:
    files[inner] = exe

sbom_name = base + ".cdx.json"
if not os.path.exists(os.path.join(folder, sbom_name)):
    print(f"note {sbom_name}: none in this release")
else:
    files[sbom_name] = os.path.join(folder, sbom_name)
    bom, why = load(sbom_name)
    if bom is not None:
        if bom.get("bomFormat") != "CycloneDX" or bom.get("specVersion") != "1.6":
            why = f"bomFormat {bom.get('bomFormat')!r}, specVersion {bom.get('specVersion')!r}: not CycloneDX 1.6"
    say(f"{sbom_name} is CycloneDX 1.6", why)
    if bom is not None and exe:
        component = bom.get("metadata", {}).get("component", {})
        have = {h.get("alg"): h.get("content") for h in component.get("hashes", [])}
        why = "; ".join(f"its {alg} of dorvane.exe is not the exe's" for alg, value in digests(exe).items()
                        if have.get(alg) != value)
        if {"name": "bsi:component:filename", "value": "dorvane.exe"} not in component.get("properties", []):
            why = "; ".join(filter(None, [why, "no bsi:component:filename dorvane.exe"]))
        say(f"{sbom_name}: the hashes of dorvane.exe", why)
        references = {r.get("url"): r for r in component.get("externalReferences", [])
                      if r.get("type") == "distribution"}
        for name in (base + ".zip", base + ".msi"):
            if name not in files:
                continue
            have = {h.get("alg"): h.get("content") for h in references.get(name, {}).get("hashes", [])}
            why = "" if name in references else "not listed as a distribution"
            why = why or "; ".join(f"its {alg} is not the file's" for alg, value in digests(files[name]).items()
                                   if have.get(alg) != value)
            say(f"{sbom_name}: the hashes of {name}", why)

provenance_name = base + ".provenance.json"
envelope_name = base + ".intoto.jsonl"
if not os.path.exists(os.path.join(folder, provenance_name)):
    print(f"note {provenance_name}: none in this release")
else:
    statement, why = load(provenance_name)
    if statement is not None and (statement.get("_type") != "https://in-toto.io/Statement/v1"
                                  or statement.get("predicateType") != "https://slsa.dev/provenance/v1"):
        why = "not an in-toto Statement v1 of SLSA provenance v1"
    say(f"{provenance_name} is SLSA provenance", why)
    if statement is not None:
        subjects = {s.get("name"): s.get("digest", {}).get("sha256") for s in statement.get("subject", [])}
        for name, path in sorted(files.items()):
            digest = hashlib.sha256(open(path, "rb").read()).hexdigest()
            why = ("not a subject" if name not in subjects
                   else "" if subjects[name] == digest else f"its subject digest is not the sha256 of {name}")
            say(f"{provenance_name}: subject {name}", why)
        for name in sorted(set(subjects) - set(files)):
            say(f"{provenance_name}: subject {name}", "no such file in this release")
        definition = statement.get("predicate", {}).get("buildDefinition", {})
        parameters = definition.get("externalParameters", {})
        commit = parameters.get("source", {}).get("commit", "")
        preset = parameters.get("preset", "")
        why = "" if re.fullmatch(r"[0-9a-f]{40}", commit or "") and preset else "no 40-hex commit and preset"
        say(f"{provenance_name}: built from {commit[:12]} with preset {preset}", why)
        if signed != "unknown":
            why = "" if parameters.get("signed") == (signed == "true") else \
                f"says signed {parameters.get('signed')}, the exe is {'' if signed == 'true' else 'not '}signed"
            say(f"{provenance_name}: signed {parameters.get('signed')}, as the exe is", why)
        with open(os.path.join(work, "recorded"), "w") as out:
            print(commit, preset, file=out)
            for dependency in definition.get("resolvedDependencies", []):
                found = re.fullmatch(r"pkg:deb/debian/([^@]+)@([^?]+)\?arch=(\S+)", dependency.get("uri", ""))
                if found:
                    # A purl's parts are percent-encoded (g++ is g%2B%2B).
                    name, version, arch = (urllib.parse.unquote(part) for part in found.groups())
                    print(name if arch == "source" else dependency.get("name", name), arch,
                          dependency.get("annotations", {}).get("version", version), file=out)
        if os.path.exists(os.path.join(folder, envelope_name)):
            why = ""
            try:
                lines = [line for line in open(os.path.join(folder, envelope_name), encoding="utf-8") if line.strip()]
                envelope = json.loads(lines[0])
                payload = base64.b64decode(envelope["payload"], validate=True)
                kind = envelope["payloadType"].encode()
                signature = base64.b64decode(envelope["signatures"][0]["sig"], validate=True)
            except (OSError, ValueError, KeyError, IndexError) as error:
                why = f"not a DSSE envelope: {error!r}"
            if not why:
                if kind != b"application/vnd.in-toto+json":
                    why = f"payloadType {kind.decode()}"
                elif payload != open(os.path.join(folder, provenance_name), "rb").read():
                    why = f"its payload is not {provenance_name}"
            say(f"{envelope_name} carries {provenance_name}", why)
            if not why:
                pae = b"DSSEv1 %d %s %d %s" % (len(kind), kind, len(payload), payload)
                open(os.path.join(work, "pae.bin"), "wb").write(pae)
                open(os.path.join(work, "sig.bin"), "wb").write(signature)
        elif parameters.get("signed"):
            say(f"{envelope_name}", "missing, though the provenance says signed")
EOF
  replay "" "$tmp/$base/json.log"
  # The full CycloneDX schema (and the SBOM's licences and purls) where the build's own
  # checker and its node modules are at hand.
  records=$here/../release/sbom/records.mjs
  modules=${DORVANE_NODE_MODULES:-$here/../build/node/node_modules}
  if [ -f "$dir/$base.cdx.json" ] && [ -f "$records" ] && [ -d "$modules" ] && command -v node >/dev/null; then
    why=""
    DORVANE_NODE_MODULES=$modules node "$records" check "$dir/$base.cdx.json" >"$tmp/check.log" 2>&1 ||
      why=$(head -3 "$tmp/check.log" | tr '\n' ' ')
    record "$base.cdx.json passes the CycloneDX 1.6 schema, its licences and purls parse" "$why"
  fi
  grep '^note ' "$tmp/$base/json.log" | sed 's/^note /     /'
  grep -vqE '^(ok|FAIL|note) ' "$tmp/$base/json.log" && record "$base: reading the SBOM and provenance" "$(tail -2 "$tmp/$base/json.log")"
  if [ -f "$tmp/$base/pae.bin" ]; then
    why=""
    if [ -z "$pubkey" ]; then
      why="no key to check it with (--key PUBKEY.pem, or a signed exe)"
    else
      openssl dgst -sha256 -verify "$pubkey" -signature "$tmp/$base/sig.bin" "$tmp/$base/pae.bin" >/dev/null 2>&1 ||
        why="the signature does not verify with $( [ -n "$key" ] && echo "$key" || echo "the exe's signer's key")"
    fi
    record "$base.intoto.jsonl: the envelope's signature verifies" "$why"
  fi
done

# The rebuild: each release's recorded commit and preset (--commit and --preset instead),
# built in a throwaway clone, every one of its files compared with DIR's.
arch_of() {  # PRESET: the architecture its packages are named by
  case $1 in
    windows-x86) echo win32 ;;
    windows-x64) echo win64 ;;
    windows-arm64) echo arm64 ;;
  esac
}
rebuild_one() {  # BASE
  local base=$1 recorded=$tmp/$1/recorded commit=$commit preset=$preset why="" differ=0 name arch version
  if [ -f "$recorded" ]; then
    read -r recorded_commit recorded_preset <"$recorded"
    commit=${commit:-$recorded_commit}
    preset=${preset:-$recorded_preset}
    # Each Debian package the build used, as recorded, against this machine's.
    while read -r name arch version; do
      if [ "$arch" = source ]; then
        # Not installed but fetched: the sysroot script checks its .dsc's digest itself.
        echo "     $base: built from Debian's source package $name $version (not an installed one)"
        continue
      fi
      here_version=$(dpkg-query -W -f='${Version}' "$name:$arch" 2>/dev/null || dpkg-query -W -f='${Version}' "$name" 2>/dev/null)
      if [ "$here_version" != "$version" ]; then
        record "$base: Debian package $name ($arch)" "recorded $version, here ${here_version:-not installed}"
        differ=$((differ + 1))
      fi
    done < <(tail -n +2 "$recorded")
    record "$base: the recorded Debian packages ($(($(wc -l <"$recorded") - 1))) are those installed here" \
      "$([ $differ = 0 ] || echo "$differ differ")"
    if [ $differ != 0 ] && [ $anyway = 0 ]; then
      echo "     $base not rebuilt: the packages differ (--anyway rebuilds all the same)"
      return
    fi
  fi
  if [ -z "$commit" ] || [ -z "$preset" ]; then
    record "$base: rebuilt" "no provenance to read the commit and preset from (--commit, --preset)"
    return
  fi
  [[ $base == *-"$(arch_of "$preset")" ]] || { echo "     $base: not a $preset package, not rebuilt"; return; }
  local rebuild=$tmp/rebuild-${commit:0:12}
  if [ ! -d "$rebuild" ]; then
    { git clone -q --no-checkout "$source_tree" "$rebuild" && git -C "$rebuild" checkout -q --detach "$commit"; } \
      >"$tmp/clone.log" 2>&1 || why="cannot check out $commit from $source_tree: $(tail -1 "$tmp/clone.log")"
    record "sources at $commit" "$why"
    [ -z "$why" ] || { rm -rf "$rebuild"; return; }
  fi
  local extra=(-DDORVANE_BUILD_TESTS=OFF) modules
  [ -z "$arm64_cache" ] || extra+=("-DDORVANE_ARM64_CACHE=$(realpath "$arm64_cache")")
  # The SBOM's npm packages, as that commit pins them: those in DORVANE_NODE_MODULES when
  # they are the same, else installed into the throwaway folder.
  if [ -f "$rebuild/release/sbom/package-lock.json" ]; then
    modules=$rebuild/build/node/node_modules
    cmp -s "$rebuild/release/sbom/package-lock.json" "${DORVANE_NODE_MODULES-}/.dorvane-lock.json" &&
      modules=$DORVANE_NODE_MODULES
    DORVANE_NODE_MODULES=$modules bash "$rebuild/scripts/ensure-tools.sh" records >"$tmp/npm.log" 2>&1 ||
      echo "     no npm packages for the SBOM: $(tail -1 "$tmp/npm.log")"
    extra+=("-DDORVANE_NODE_MODULES=$modules")
  fi
  # The commit's time comes from the clone, as in any build from git.
  (cd "$rebuild" && env -u SOURCE_DATE_EPOCH cmake --preset "$preset" "${extra[@]}" &&
    env -u SOURCE_DATE_EPOCH cmake --build --preset "$preset" --target package) >"$tmp/rebuild.log" 2>&1 ||
    why="the build failed: $(tail -3 "$tmp/rebuild.log" | tr '\n' ' ')"
  record "rebuilt $preset at ${commit:0:12}" "$why"
  [ -z "$why" ] || return
  local made=$rebuild/build/$preset/package from=$dir
  local compare=("$dir/$base".*)
  if [ "$(cat "$tmp/$base/signed")" = true ]; then
    # Without the signing key the rebuild is unsigned: the exe, its signature taken off,
    # and the files beside it in the ZIP are compared; the signed files as wholes are not.
    echo "     $base is signed: its signed files need the signing key to be rebuilt; comparing the unsigned exe and the ZIP's other files"
    mkdir -p "$tmp/unsigned/$base" "$tmp/rebuilt-zip"
    osslsigncode remove-signature -in "$tmp/$base/zip/$base/dorvane.exe" -out "$tmp/unsigned/$base/dorvane.exe" >/dev/null 2>&1
    python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$made/$base.zip" "$tmp/rebuilt-zip"
    cp "$tmp/$base/zip/$base/"{README.txt,LICENSE,THIRD-PARTY-NOTICES.txt} "$tmp/unsigned/$base/"
    from=$tmp/unsigned/$base made=$tmp/rebuilt-zip/$base
    compare=("$from"/*)
  fi
  for file in "${compare[@]}"; do
    name=${file##*/}
    why=""
    if [ ! -f "$made/$name" ]; then
      why="the rebuild made no $name"
    elif ! cmp -s "$file" "$made/$name"; then
      why="differs from the rebuild's"
      if command -v diffoscope >/dev/null; then
        echo "diffoscope $name (the release, then the rebuild):"
        diffoscope --exclude-command '^objdump' --no-progress "$file" "$made/$name" | head -200
      fi
    fi
    record "rebuilt, byte for byte: $name" "$why"
  done
}
if [ -n "$source_tree" ]; then
  for base in $bases; do
    rebuild_one "$base"
  done
  # What a release folder holds beside the packages is made from them, not built.
  for file in "$dir"/*; do
    case ${file##*/} in dorvane-*-*.*) ;; *) echo "     not rebuilt: ${file##*/} (made from the files above)" ;; esac
  done
fi
finish
