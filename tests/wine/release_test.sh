#!/usr/bin/env bash
# The release as an administrator receives it. Runs the README's release command in this
# tree, then builds copies of the tracked sources elsewhere: unsigned, and signed three
# times with a throwaway certificate made here (twice as PEM files, once as PKCS#12). Checks
# that one commit gives the same exe, ZIP, MSI, SBOM and provenance wherever it is built,
# that the checksum files match, that the SBOM and provenance tell the truth, that the
# signatures verify and come off cleanly, that the ZIP holds the signed exe, and that it
# still runs.
# usage: release_test.sh SOURCE_DIR BUILD_DIR PRESET TOOLCHAIN win32|win64|arm64 WINE_DIR USAGE_FILE
#                        [bash VM_RUN SESSION]   (where wine runs in a VM: its runner and session)
set -u
src=$1
build=$2
preset=$3
toolchain=$(basename "$4")
arch=$5
wine_dir=$6
usage=$7
vm=("${@:8:2}")
vm_session=${10-}
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../checks.sh"
source "$here/records_checks.sh"

same() {  # NAME FILE OTHER_FILE: records whether the two are the same bytes
  local why=""
  cmp -s "$2" "$3" || why="differs from $3"
  record "$1: $(sha256sum <"$2" | cut -c1-16)..." "$why"
}

# This tree's own package is the unsigned one the copies are held to: a tree configured to
# sign (a publisher's -DDORVANE_SIGN_... kept in its cache, by scripts/release.sh or by hand)
# is named in one line rather than failing a dozen comparisons.
if [ -n "$(jq -r '.source // empty' "$build/signing.json" 2>/dev/null)" ]; then
  record "$build is configured to sign (its signing.json names a key); the release test needs an unsigned tree" \
    "configure it again without signing: cmake -U 'DORVANE_SIGN_*' $build"
  finish
  exit
fi
# The release command as the README gives it; file dates and signing time come from git.
# A preset's build made in another folder (cmake --preset NAME -B DIR) is built there.
(
  unset SOURCE_DATE_EPOCH
  if [ -n "$preset" ] && [ "$(realpath -m "$src/build/$preset")" = "$(realpath -m "$build")" ]; then
    cd "$src" && cmake --build --preset "$preset" --target package
  else
    cmake --build "$build" --target package
  fi
) >"$tmp/main.log" 2>&1 || { cat "$tmp/main.log"; exit 1; }
zips=("$build"/package/dorvane-*.zip)
zip=$(basename "${zips[0]}")
base=${zip%.zip}
msi=$base.msi
# The SBOM and provenance are made where the build found Node.js, the npm packages and
# python3-apt.
records=()
# The checks run records.mjs too, with the packages this tree was configured with.
DORVANE_NODE_MODULES=$(sed -n 's/^DORVANE_NODE_MODULES:PATH=//p' "$build/CMakeCache.txt")
export DORVANE_NODE_MODULES
records_checks_init "$src" "$build" "$tmp" "$DORVANE_NODE_MODULES"
if grep -q '^DORVANE_NODE:FILEPATH=/' "$build/CMakeCache.txt" &&
  [ -f "$DORVANE_NODE_MODULES/@cyclonedx/cyclonedx-library/package.json" ] &&
  /usr/bin/python3 -I -c 'import apt_pkg' 2>/dev/null; then
  records=("$base.cdx.json" "$base.provenance.json")
  # A tree with uncommitted changes (a developer's) gets no provenance: the step says why.
  dirty=$(git -C "$src" status --porcelain --untracked-files=no 2>/dev/null)
  if [ -n "$dirty" ]; then
    records=("$base.cdx.json")
    why=""
    [ -e "$build/package/$base.provenance.json" ] && why="a provenance from a tree with uncommitted changes"
    grep -q '^-- No provenance: the tracked files of .* have uncommitted changes' "$tmp/main.log" || why=$(why_not "$why" "no line saying why")
    record "this tree has uncommitted changes: no provenance, and a line saying why" "$why"
  fi
else
  echo "left out: the SBOM and provenance (no Node.js, npm packages or python3-apt: scripts/ensure-tools.sh records)"
fi
for package in "$zip" "$msi" "${records[@]}"; do
  why=""
  (cd "$build/package" && sha256sum --quiet -c "$package.sha256") >"$tmp/sum.log" 2>&1 ||
    why="$(cat "$tmp/sum.log")"
  record "$package.sha256 matches" "$why"
done

# The sources elsewhere, with no .git: they get the commit time from outside. In a
# checkout, what git would commit: tracked and new files, not ignored ones.
copy_sources "$src" "$tmp/src"
epoch=$(env -u SOURCE_DATE_EPOCH cmake -DSOURCE_DIR="$src" -P "$src/cmake/source_date_epoch.cmake")
commit=$(git -C "$src" rev-parse HEAD 2>/dev/null || true)
# Uncommitted changes are in the copy, not in HEAD: its commit is one made of the copy as
# it is, in a repository of its own.
if [ -n "${dirty-}" ]; then
  commit=$(cd "$tmp/src" && git init -q && git add -A && GIT_COMMITTER_DATE=@$epoch git -c user.name=t -c user.email=t@t \
    commit -q --date=@"$epoch" -m "the copy" && git rev-parse HEAD && rm -rf .git)
fi
# The ARM64 sysroot and the npm packages of this build tree serve the copies too; the
# copies are built as this tree's preset is, and take the commit from outside.
toolchain_cache=(-DDORVANE_PRESET="$preset")
for key in DORVANE_ARM64_CACHE DORVANE_NODE_MODULES; do
  line=$(grep -m1 "^$key:" "$build/CMakeCache.txt") && toolchain_cache+=(-D"$key=${line#*=}")
done
trace=()  # what the build runs under (signing_checks.sh traces the signed builds)
build_copy() {  # DIR [CMAKE_ARG...]   (the sources in $sources, else $tmp/src)
  local dir=$1
  shift
  {
    SOURCE_DATE_EPOCH=$epoch cmake -S "${sources:-$tmp/src}" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel \
      -DCMAKE_TOOLCHAIN_FILE="$tmp/src/cmake/$toolchain" -DDORVANE_BUILD_TESTS=OFF "${toolchain_cache[@]}" "$@" &&
      SOURCE_DATE_EPOCH=$epoch DORVANE_SOURCE_COMMIT=$commit "${trace[@]}" cmake --build "$dir" --target package
  } >"$tmp/copy.log" 2>&1 || { cat "$tmp/copy.log"; exit 1; }
}

build_copy "$tmp/unsigned"
for f in dorvane.exe "package/$zip" "package/$zip.sha256" "package/$msi" "package/$msi.sha256" \
  $(for r in "${records[@]}"; do echo "package/$r" "package/$r.sha256"; done); do
  same "reproducible $f" "$build/$f" "$tmp/unsigned/$f"
done

# A throwaway RSA certificate (RSA signatures are deterministic; ECDSA ones are not).
openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=DORVANE test signing" \
  -addext extendedKeyUsage=codeSigning -keyout "$tmp/key.pem" -out "$tmp/cert.pem" 2>/dev/null
for copy in signed signed-again; do
  build_copy "$tmp/$copy" -DDORVANE_SIGN_CERT="$tmp/cert.pem" -DDORVANE_SIGN_KEY="$tmp/key.pem"
done
signed=$tmp/signed/dorvane.exe
same "signed twice, same exe" "$signed" "$tmp/signed-again/dorvane.exe"

# The same key and certificate as PKCS#12: the same signature, and its password, given only
# in the environment, written nowhere in the build tree.
password=pw-$RANDOM$RANDOM
# windows-x64 also signs from a token, timestamps, and watches where the secrets go.
if [ "$arch" = win64 ]; then
  source "$here/signing_checks.sh"
  signing_inputs "$src" "$build" "$tmp" "$here" "$epoch" "$commit" "$preset" "$toolchain" "$zip" "$msi" "$base" \
    "$password" ${#records[@]} "${records[@]}" "${toolchain_cache[@]}"
  token_setup
  saved_tmpdir=${TMPDIR-}
  export TMPDIR=$build_tmp
  watch_start
fi
password=$password openssl pkcs12 -export -inkey "$tmp/key.pem" -in "$tmp/cert.pem" -out "$tmp/sign.p12" \
  -passout env:password 2>/dev/null
DORVANE_SIGN_PASSWORD=$password build_copy "$tmp/pkcs12" -DDORVANE_SIGN_PKCS12="$tmp/sign.p12"
same "signed from PKCS#12, same exe" "$tmp/pkcs12/dorvane.exe" "$signed"
why=""
# (Through a pipe: on grep's command line the password would be what the watcher looks for.)
grep -rqF -f <(printf '%s\n' "$password") "$tmp/pkcs12" && why="the password is in the build tree"
record "the PKCS#12 password stays out of the build tree" "$why"
same "signed twice, same ZIP" "$tmp/signed/package/$zip" "$tmp/signed-again/package/$zip"
same "signed twice, same MSI" "$tmp/signed/package/$msi" "$tmp/signed-again/package/$msi"
why=""
osslsigncode verify -in "$tmp/signed/package/$msi" -CAfile "$tmp/cert.pem" >"$tmp/verify.log" 2>&1 ||
  why="does not verify: $(tail -3 "$tmp/verify.log" | tr '\n' ' ')"
record "the MSI's signature verifies" "$why"

why=""
osslsigncode verify -in "$signed" -CAfile "$tmp/cert.pem" >"$tmp/verify.log" 2>&1 ||
  why="does not verify: $(tail -3 "$tmp/verify.log" | tr '\n' ' ')"
grep -q 'Message digest algorithm *: SHA256' "$tmp/verify.log" || why=$(why_not "$why" "not SHA-256")
record "signature verifies ($(stat -c %s "$signed") bytes signed)" "$why"

osslsigncode remove-signature -in "$signed" -out "$tmp/unsigned-again.exe" >/dev/null 2>&1
same "signature removed gives the unsigned exe" "$tmp/unsigned-again.exe" "$build/dorvane.exe"

mkdir "$tmp/unzipped"
(cd "$tmp/unzipped" && cmake -E tar xf "$tmp/signed/package/$zip")
same "the signed ZIP holds the signed exe" "$tmp/unzipped/${zip%.zip}/dorvane.exe" "$signed"

# The records of this tree's package, and of a signed one, whose exe is another file.
if [ ${#records[@]} != 0 ]; then
  # (The copy's, where this tree has no provenance: the same exe, built elsewhere.)
  tree=$build
  [ -z "${dirty-}" ] || tree=$tmp/unsigned
  mkdir "$tmp/tree-zip"
  (cd "$tmp/tree-zip" && cmake -E tar xf "$tree/package/$zip")
  check_records "$tree/package" "$base" "$tmp/tree-zip/$base/dorvane.exe" "$tree/dorvane.map" \
    "$build/release/THIRD-PARTY-NOTICES.txt" "$epoch" "$commit"
  check_records "$tmp/signed/package" "$base" "$signed" "$tmp/signed/dorvane.map" \
    "$build/release/THIRD-PARTY-NOTICES.txt" "$epoch" "$commit" "signed "
  envelope=package/$base.intoto.jsonl
  why=""
  (cd "$tmp/signed/package" && sha256sum --quiet -c "$base.intoto.jsonl.sha256") >/dev/null 2>&1 ||
    why="its .sha256 does not match"
  [ -f "$build/$envelope" ] && why=$(why_not "$why" "the unsigned build has one")
  [ -f "$build/package/$base.sigstore.json" ] && why=$(why_not "$why" "the unsigned build has a Sigstore bundle")
  record "$base.intoto.jsonl (with its checksum) and .sigstore.json only when signed" "$why"
  check_envelope "$tmp/signed/$envelope" "$tmp/signed/package/$base.provenance.json" "$tmp/cert.pem"
  check_bundle "$tmp/signed/package" "$base" "$tmp/cert.pem"
  for f in "$envelope" "package/$base.sigstore.json"; do
    same "signed twice, same $(basename "$f")" "$tmp/signed/$f" "$tmp/signed-again/$f"
    same "signed from PKCS#12, same $(basename "$f")" "$tmp/pkcs12/$f" "$tmp/signed/$f"
  done
fi
if [ "$arch" = win64 ]; then
  token_checks
  if [ -n "$saved_tmpdir" ]; then export TMPDIR=$saved_tmpdir; else unset TMPDIR; fi
fi

# What an administrator unpacks: the exe, the guide, the licence and the notices, nothing
# else; the guide plain Windows text that reads in an 80-column console.
files=$(cmake -E tar tf "$build/package/$zip" | grep -v '/$' | sed "s|^${zip%.zip}/||" | LC_ALL=C sort | tr '\n' ' ')
why=""
[ "$files" = "LICENSE README.txt THIRD-PARTY-NOTICES.txt dorvane.exe " ] || why="unexpected files"
record "the ZIP holds exactly: $files" "$why"
guide=$tmp/unzipped/${zip%.zip}/README.txt
why=""
lines=$(wc -l <"$guide")
[ "$(grep -c $'\r$' "$guide")" = "$lines" ] && [ "$(tail -c 2 "$guide" | od -An -c | tr -d ' ')" = '\r\n' ] ||
  why="not every line ends in CRLF"
LC_ALL=C grep -qP '[^\x09\x0a\x0d\x20-\x7e]' "$guide" && why=$(why_not "$why" "not plain ASCII")
wide=$(tr -d '\r' <"$guide" | awk 'length($0) > 80 { print NR; exit }')
[ -z "$wide" ] || why=$(why_not "$why" "line $wide is wider than 80 columns")
for word in /SHUTDOWN /LOGOFF /POWEROFF /REBOOT /FORCE; do
  grep -q -- "^  $word " "$guide" || why=$(why_not "$why" "does not explain $word")
done
for status in 0 1 2; do
  grep -qE "^  $status   " "$guide" || why=$(why_not "$why" "does not explain status $status")
done
version=$(sed -n 's/.*project(dorvane VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
[ "$(head -1 "$guide")" = "DORVANE $version"$'\r' ] || why=$(why_not "$why" "its version is not $version")
record "README.txt: $lines CRLF lines of ASCII, at most 80 columns, switches, statuses, version $version" "$why"

# Every text file the ZIP or the MSI ships is Windows text: each line end CRLF, no bare LF
# or CR (a value substituted into a template brings its own line ends).
mkdir "$tmp/msi-files"
msiextract -C "$tmp/msi-files" "$build/package/$msi" >/dev/null
for name in $(jq -r '.members[] | select(.text) | .name' "$src/release/contract.json"); do
  # msiextract names the 32-bit Program Files, not the 64-bit one: the member wherever it is.
  in_msi=$(find "$tmp/msi-files" -type f -name "$name" | head -1)
  for shipped in "$tmp/unzipped/$base/$name" "${in_msi:-$tmp/msi-files/$name}"; do
    why=""
    if [ ! -s "$shipped" ]; then
      why="missing"
    else
      lf=$(tr -cd '\n' <"$shipped" | wc -c)
      cr=$(tr -cd '\r' <"$shipped" | wc -c)
      crlf=$(grep -c $'\r$' "$shipped")
      [ "$crlf" = "$lf" ] && [ "$cr" = "$lf" ] && [ "$(tail -c 1 "$shipped" | od -An -c | tr -d ' ')" = '\n' ] ||
        why="$crlf CRLF line ends, $lf LF and $cr CR in all"
    fi
    record "${shipped#"$tmp/"}: CRLF only" "$why"
  done
done

# README.txt names what dorvane.exe contains as the notices of this architecture do: each of
# their sections, and none that only another architecture's notices have.
headings() { tr -d '\r' <"$1" | grep -B1 -E '^-+$' | sed -nE 's/^[0-9]+\. (The )?//p'; }
notices=$tmp/unzipped/$base/THIRD-PARTY-NOTICES.txt
guide_text=$(tr -d '\r' <"$guide" | tr -s ' \n' '  ')
why=""
mapfile -t ours < <(headings "$notices")
[ ${#ours[@]} -ge 2 ] || why="the notices have ${#ours[@]} sections"
for section in "${ours[@]}"; do
  grep -qiF -- "$section" <<<"$guide_text" || why=$(why_not "$why" "README.txt does not name the $section")
done
while read -r section; do
  printf '%s\n' "${ours[@]}" | grep -qxF -- "$section" && continue
  grep -qiF -- "$section" <<<"$guide_text" && why=$(why_not "$why" "README.txt names the $section, which $arch does not link")
done < <(for f in "$src"/release/THIRD-PARTY-NOTICES.txt.in "$src"/release/notices-*.txt; do headings "$f"; done)
record "README.txt names what the notices cover: $(printf '%s; ' "${ours[@]}")" "$why"

# The MSI's tables, as Windows Installer reads them: the four files in one component in
# [ProgramFiles]\DORVANE, the fixed UpgradeCode with a major upgrade that refuses older
# versions over newer ones, and the PATH entry with the actions that write and remove it.
# An older version's package (built here from the sources with a lower version) shares
# the UpgradeCode.
# MSI TABLE: its rows, tab-separated, sorted; MSI summary FIELD: that field. Read as data by
# the release tools' own MSI reader.
msi_read() {
  /usr/bin/python3 - "$src/release" "$@" <<'EOF'
import signal, sys
# A reader that has seen enough (grep -q) closes the pipe: that is not an error.
signal.signal(signal.SIGPIPE, signal.SIG_DFL)
sys.path.insert(0, sys.argv[1])
from verify import msi
read = msi.read(sys.argv[2])
if sys.argv[3] == "summary":
    print(read["summary"][sys.argv[4]])
else:
    for row in sorted("\t".join("" if cell is None else str(cell) for cell in row)
                      for row in read["tables"][sys.argv[3]]["rows"]):
        print(row)
EOF
}
table() { msi_read "$1" "$2"; }
case $arch in
  win32) program_files=ProgramFilesFolder platform=Intel ;;
  win64) program_files=ProgramFiles64Folder platform=x64 ;;
  arm64) program_files=ProgramFiles64Folder platform=Arm64 ;;
esac
mkdir "$tmp/older"
(cd "$tmp/src" && tar -cf - .) | tar -x -C "$tmp/older"
sed -i 's/^project(dorvane VERSION [0-9.]*/project(dorvane VERSION 0.0.1/' "$tmp/older/CMakeLists.txt"
sources=$tmp/older build_copy "$tmp/older-build" -DDORVANE_NODE_MODULES="$tmp/none"
older=$tmp/older-build/package/${msi/$version/0.0.1}
new_msi=$build/package/$msi
why=""
[ "$(table "$new_msi" File | cut -f3 | tr '\n' ' ')" = "LICENSE THIRD-PARTY-NOTICES.txt README.txt dorvane.exe " ] ||
  why="files: $(table "$new_msi" File | cut -f3 | tr '\n' ' ')"
[ "$(table "$new_msi" Component | cut -f3,6)" = "INSTALLDIR	dorvane.exe" ] || why=$(why_not "$why" "component: $(table "$new_msi" Component)")
table "$new_msi" Directory | grep -qx "INSTALLDIR	$program_files	DORVANE" ||
  why=$(why_not "$why" "not in [$program_files]\\DORVANE")
record "$msi: its files in [$program_files]\\DORVANE" "$why"
# Windows Installer refuses a package whose platform is not the machine's own (or one it
# emulates): the summary's template says which.
template=$(msi_read "$new_msi" summary template)
why=""
[ "$template" = "$platform;1033" ] || why="expected $platform;1033"
record "$msi: for $platform Windows (template $template)" "$why"
why=""
upgrade=$(table "$new_msi" Upgrade)
code=$(cut -f1 <<<"$upgrade" | sort -u)
[ "$(cut -f1 < <(table "$older" Upgrade) | sort -u)" = "$code" ] || why="the older version's UpgradeCode differs"
grep -qx "$code		$version		513		WIX_UPGRADE_DETECTED" <<<"$upgrade" &&
  grep -qx "$code	$version			2		WIX_DOWNGRADE_DETECTED" <<<"$upgrade" || why=$(why_not "$why" "upgrade rows: $upgrade")
table "$new_msi" LaunchCondition | grep -q '^NOT WIX_DOWNGRADE_DETECTED	A newer version' ||
  why=$(why_not "$why" "no message refusing a downgrade")
record "upgrades: UpgradeCode $code, the same in the older version; older refused" "$why"
why=""
[ "$(table "$new_msi" Environment)" = "PATH	=-*PATH	[~];[INSTALLDIR]	Program" ] || why="no PATH row: $(table "$new_msi" Environment)"
for action in RemoveEnvironmentStrings WriteEnvironmentStrings; do
  table "$new_msi" InstallExecuteSequence | grep -q "^$action	" || why=$(why_not "$why" "no $action")
done
record "appends its folder to the system PATH, removed on uninstall" "$why"
# Every table, row and summary field, as release/contract.json says the build makes them
# of these files: this package and the older version's.
mkdir "$tmp/members" "$tmp/older-members"
(cd "$tmp/members" && cmake -E tar xf "$build/package/$zip")
(cd "$tmp/older-members" && cmake -E tar xf "$tmp/older-build/package/${zip/$version/0.0.1}")
for pair in "$new_msi:$version:$tmp/members/$base" "$older:0.0.1:$tmp/older-members/${base/$version/0.0.1}"; do
  IFS=: read -r package package_version members <<<"$pair"
  why=$(/usr/bin/python3 - "$src/release" "$package" "$arch" "$package_version" "$epoch" "$members" <<'EOF'
import os, sys
sys.path.insert(0, sys.argv[1])
from verify import contract, msi
path, arch, version, epoch, folder = sys.argv[2:]
files = {name: open(os.path.join(folder, name), "rb").read() for name in contract.members()}
print("; ".join(contract.msi_differences(msi.read(path), contract.msi_expected(arch, version, epoch, files))[:3]))
EOF
  )
  record "$(basename "$package"): every table, row and summary field as release/contract.json has them" "$why"
done

# What the records must not claim: the 64-bit suite only (each case runs the package step).
[ "$arch" != win64 ] || [ ${#records[@]} = 0 ] ||
  check_record_cases "$tmp/unsigned" "$tmp/src" "$tmp/signed" "$tmp/signed-again" "$base"

if [ ${#vm[@]} = 0 ] && { "$here/wine-run.sh" "$arch" --check >/dev/null; [ $? = 77 ]; }; then
  echo "left out: the signed exe under wine ($arch programs do not run on this machine)"
else
  why=""
  # The VM cannot see this machine's /tmp: what it runs goes through its session folder.
  if [ ${#vm[@]} != 0 ]; then
    mkdir -p "$vm_session/release"
    cp "$signed" "$vm_session/release/signed.exe"
    cp "$build/dorvane.exe" "$new_msi" "$older" "$vm_session/release/"
    signed=$vm_session/release/signed.exe
    older=$vm_session/release/$(basename "$older")
    new_msi=$vm_session/release/$msi
    exe=$vm_session/release/dorvane.exe
    vm+=(run "$vm_session" --timeout 1800 --)
  fi
  # The signed exe differs from the one the usage table ran on only by its signature: one
  # case, to a file and through a pipe, shows the loader takes it.
  "${vm[@]}" bash "$here/usage_test.sh" "$usage" "$arch" "$wine_dir" "$signed" no_arguments \
    >"$tmp/usage.log" 2>&1 ||
    why=$(grep -E 'FAIL|wine' "$tmp/usage.log" | head -3 | tr '\n' ' ')
  grep -q '^2 passed, 0 failed' "$tmp/usage.log" || why=$(why_not "$why" "$(tail -1 "$tmp/usage.log")")
  record "the signed exe shows its usage screen under wine${vm:+ in a VM}" "$why"
  [ ${#vm[@]} != 0 ] || exe=$build/dorvane.exe
  product_code=$(table "$build/package/$msi" Property | awk -F'\t' '$1 == "ProductCode" { print $2 }')
  # Install, PATH, upgrade and uninstall: its own tally, each line counted here.
  "${vm[@]}" bash "$here/msi_test.sh" "$arch" "$wine_dir" "$new_msi" "$older" "$exe" \
    "$version" "$usage" "$product_code" >"$tmp/msi.log" 2>&1
  replay "msiexec: " "$tmp/msi.log"
  grep -q '^7 passed, 0 failed' "$tmp/msi.log" || record "the MSI round trip under wine" "$(tail -3 "$tmp/msi.log" | tr '\n' ' ')"
  [ ${#vm[@]} = 0 ] || rm -rf "$vm_session/release"
fi

finish
