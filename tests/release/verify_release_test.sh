#!/usr/bin/env bash
# scripts/verify-release.sh against releases made here by the README's release commands
# from a throwaway repository of the tracked sources: a good one passes, with --rebuild
# too; each tampered one fails, naming the file; the folder it reads is left as it was.
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
verify=$src/scripts/verify-release.sh

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
release good
release signed -DDORVANE_SIGN_CERT="$tmp/cert.pem" -DDORVANE_SIGN_KEY="$tmp/key.pem"
zip=$(cd "$tmp/good" && ls dorvane-*.zip)
base=${zip%.zip}

# Tampering helpers, each on a copy: FILE is a name in the copy.
resum() { (cd "$(dirname "$1")" && sha256sum "$(basename "$1")" >"$(basename "$1").sha256"); }
zip_member() {  # ZIP MEMBER NEW_CONTENT_FILE: replaces one member's bytes
  python3 - "$@" <<'EOF'
import sys, zipfile
path, member, content = sys.argv[1:]
with zipfile.ZipFile(path) as old:
    entries = [(info, old.read(info)) for info in old.infolist()]
with zipfile.ZipFile(path, "w") as new:
    for info, data in entries:
        new.writestr(info, open(content, "rb").read() if info.filename == member else data)
EOF
}
json_edit() {  # FILE PYTHON_STATEMENT on "doc"
  python3 - "$1" "$2" <<'EOF'
import json, sys
doc = json.load(open(sys.argv[1]))
exec(sys.argv[2])
json.dump(doc, open(sys.argv[1], "w"), indent=2)
EOF
}
unzip_exe() { python3 -c 'import sys, zipfile; sys.stdout.buffer.write(zipfile.ZipFile(sys.argv[1]).read(sys.argv[2]))' "$1" "$base/dorvane.exe"; }

plant() {  # CASE DIR: the tampering of one row
  local d=$2
  case $1 in
    good | rebuilt | other-commit | signed) ;;
    zip-byte)
      python3 -c 'import sys; p = sys.argv[1]; b = bytearray(open(p, "rb").read()); b[len(b) // 2] ^= 1; open(p, "wb").write(b)' "$d/$zip" ;;
    other-sha256) cp "$d/$base.msi.sha256" "$d/$zip.sha256" ;;
    sbom-exe-hash)
      json_edit "$d/$base.cdx.json" 'doc["metadata"]["component"]["hashes"][0]["content"] = "0" * 64'
      resum "$d/$base.cdx.json" ;;
    subject-digest)
      json_edit "$d/$base.provenance.json" 'doc["subject"][1]["digest"]["sha256"] = "0" * 64'
      resum "$d/$base.provenance.json" ;;
    cut-signature)
      unzip_exe "$d/$zip" >"$tmp/exe"
      head -c $(($(stat -c %s "$tmp/exe") - 300)) "$tmp/exe" >"$tmp/cut.exe"
      zip_member "$d/$zip" "$base/dorvane.exe" "$tmp/cut.exe"
      resum "$d/$zip" ;;
    zip-exe-differs)
      unzip_exe "$tmp/signed/$zip" >"$tmp/other.exe"
      zip_member "$d/$zip" "$base/dorvane.exe" "$tmp/other.exe"
      resum "$d/$zip" ;;
  esac
}

# case | release | extra arguments | status | a line that must be there | needs
cases=(
  "good|good||0|^[1-9][0-9]* passed, 0 failed|"
  "signed|signed|--ca CERT|0|^ok .*dorvane.exe: Authenticode signature by /CN=DORVANE verify test verifies|"
  "rebuilt|good|--rebuild GIT|0|^ok   rebuilt, byte for byte: $zip$|"
  "zip-byte|good||1|^FAIL $zip.sha256 matches: $zip does not match|"
  "other-sha256|good||1|^FAIL $zip.sha256 matches: $zip.sha256 is the checksum of $base.msi|"
  "sbom-exe-hash|good||1|^FAIL $base.cdx.json: the hashes of dorvane.exe|$base.cdx.json"
  "subject-digest|good||1|^FAIL $base.provenance.json: subject .*: its subject digest is not|$base.provenance.json"
  "cut-signature|signed|--ca CERT|1|^FAIL $zip: dorvane.exe: its signature: damaged|"
  "zip-exe-differs|good||1|^FAIL $base.msi holds the same dorvane.exe as $zip: .* differs|"
  "other-commit|good|--rebuild GIT --commit TWO|1|^FAIL rebuilt, byte for byte: $zip: differs|"
)
for row in "${cases[@]}"; do
  IFS='|' read -r name from extra want line needs <<<"$row"
  if [ -n "$needs" ] && [ ! -f "$tmp/$from/$needs" ]; then
    echo "skip $name: the release has no $needs yet"
    continue
  fi
  copy=$tmp/case-$name
  cp -a "$tmp/$from" "$copy"
  plant "$name" "$copy"
  args=()
  for word in $extra; do
    case $word in
      CERT) args+=("$tmp/cert.pem") ;;
      GIT) args+=("$tmp/git" --preset "$preset" --commit "$one" "${cache[@]:1}") ;;
      TWO) args+=("$two") ;;
      *) args+=("$word") ;;
    esac
  done
  before=$(cd "$copy" && find . -printf '%p %s %T@ %m\n' | sort && cat ./* | sha256sum)
  bash "$verify" "$copy" "${args[@]}" >"$tmp/out" 2>&1
  status=$?
  why=""
  [ "$status" = "$want" ] || why="status $status, expected $want"
  grep -qE -- "$line" "$tmp/out" || why=$(why_not "$why" "no line /$line/")
  [ "$(cd "$copy" && find . -printf '%p %s %T@ %m\n' | sort && cat ./* | sha256sum)" = "$before" ] ||
    why=$(why_not "$why" "it changed the folder")
  # Its tally quoted, not as this test's own closing line (which CTest looks for).
  quote() { sed -E 's/([0-9]+) passed, ([0-9]+) failed/\1 passed; \2 failed/; s/^/  | /'; }
  record "$name: status $want, $(grep -m1 -E -- "$line" "$tmp/out" | sed -E "s/^(ok|FAIL) +//" | quote | cut -c5-94)" "$why"
  [ -z "$why" ] || quote <"$tmp/out"
done

# The command line: no release, or words it does not know.
bash "$verify" "$tmp/git" >/dev/null 2>&1
status1=$?
bash "$verify" "$tmp/good" --frobnicate >/dev/null 2>&1
status2=$?
why=""
[ $status1 = 2 ] && [ $status2 = 2 ] || why="status $status1 for no release, $status2 for an unknown option"
record "status 2 for a folder with no release and for a bad command line" "$why"
finish
