#!/usr/bin/env bash
# The release as an administrator, an auditor and a publisher receive it, one concern a run,
# each on the releases release_fixture.sh made once for this build tree (release.build):
#   packages    the ZIP's members, the guide and every shipped text file, the security
#               contact, the signed exe under wine (each file's checksum: release.verify)
#   msi         the MSI's tables against the contract, an older version's upgrade, and the
#               install, PATH, upgrade and uninstall under wine
#   records     the SBOM, provenance, envelope and Sigstore bundle against the facts, and
#               (windows-x64) what the records must not claim, by the package step again
#   signing     (windows-x64) the signing step on copies of the unsigned files: tokens, PINs,
#               certificates, chains, timestamp authorities; the signed tree's package step
#               again: a wrong PIN, a failing MSI step, silent authorities, a renewed
#               certificate; where the secrets went
#   publishing  (windows-x64) scripts/release.sh on the fixture's trees: its signed run, the
#               files as uploaded, refusals, a killed run, a failed run, --replace
# usage: release_test.sh CONCERN SOURCE_DIR BUILD_DIR WINE_DIR USAGE_FILE
#                        [bash VM_RUN SESSION]   (where wine runs in a VM: its runner and session)
set -u
concern=$1 src=$2 build=$3 wine_dir=$4 usage=$5
vm=("${@:6:2}")
vm_session=${8-}
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../checks.sh"
source "$here/records_checks.sh"
source "$here/signing_checks.sh"
fix=$build/release-fixture
[ -f "$fix/fixture.env" ] ||
  { record "the releases of release.build in $fix" "none: ctest runs release.build with this test (not with -FS)"; finish; exit; }
has_records=0 dirty="" tree_commit=""
# shellcheck source=/dev/null # (the fixture's facts)
source "$fix/fixture.env"
sources=$fix/src rel=$fix/rel job=$fix/job
export DORVANE_NODE_MODULES
trap 'stop_helpers; rm -rf "$tmp"' EXIT

same() {  # NAME FILE OTHER_FILE: records whether the two are the same bytes
  local why=""
  cmp -s "$2" "$3" || why="differs from $3"
  record "$1: $(sha256sum <"$2" | cut -c1-16)..." "$why"
}
# table MSI TABLE: its rows, tab-separated, sorted; table MSI summary FIELD: that field. Read
# as data by the release tools' own MSI reader.
table() {
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
# under_wine WHAT: whether this machine (or its VM) runs the exe: else WHAT's rows are left out.
under_wine() {
  [ ${#vm[@]} != 0 ] || { "$here/wine-run.sh" "$arch" --check >/dev/null; [ $? != 77 ]; } ||
    { echo "left out: $1 under wine ($arch programs do not run on this machine)"; return 1; }
}
# The test token, the file key and their secrets, for the concerns that sign: the token's
# PIN from the fixture (release.forget removes it after the suite), the rest made here.
signing_inputs() {
  pin=$(<"$fix/pin")
  cp "$fix/pin" "$fix/token-cert.pem" "$fix/engine.cnf" "$tmp/"
  export SOFTHSM2_CONF=$fix/softhsm2.conf
  so_pin=so-$RANDOM$RANDOM password=pw-$RANDOM$RANDOM
  # A throwaway RSA key and certificate (RSA signatures are deterministic; ECDSA ones are
  # not), also as PKCS#12 with its password given only in the environment.
  openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=DORVANE test signing" \
    -addext extendedKeyUsage=codeSigning -keyout "$tmp/key.pem" -out "$tmp/cert.pem" 2>/dev/null
  password=$password openssl pkcs12 -export -inkey "$tmp/key.pem" -in "$tmp/cert.pem" -out "$tmp/sign.p12" \
    -passout env:password 2>/dev/null
  # The builds' and signing steps' temporary files go where the test can search them.
  build_tmp=$tmp/build-tmp
  mkdir -m 700 "$build_tmp"
  export TMPDIR=$build_tmp
}

# (A row's reasons gather in why; tally, signing_checks.sh's, records them and clears why.)
packages() {
  why=""
  # A tree with uncommitted changes (a developer's) gets no provenance: the step says why.
  if [ -n "$dirty" ]; then
    [ -e "$packages/$provenance" ] && why="a provenance from a tree with uncommitted changes"
    grep -q '^-- No provenance: the tracked files of .* have uncommitted changes' "$fix/main.log" || why=$(why_not "$why" "no line saying why")
    tally "this tree has uncommitted changes: no provenance, and a line saying why"
  fi
  [ "$has_records" = 1 ] ||
    echo "left out: the SBOM and provenance (no Node.js, npm packages or python3-apt: scripts/ensure-tools.sh records)"
  step "the ZIP's members"
  (mkdir "$tmp/unzipped" && cd "$tmp/unzipped" && cmake -E tar xf "$packages/$zip")
  # What an administrator unpacks: the exe, the guide, the licence and the notices, nothing
  # else; the guide plain Windows text that reads in an 80-column console.
  files=$(cmake -E tar tf "$packages/$zip" | grep -v '/$' | sed "s|^${zip%.zip}/||" | LC_ALL=C sort | tr '\n' ' ')
  [ "$files" = "$(jq -r '.package.members[]' "$build/project.json" | LC_ALL=C sort | tr '\n' ' ')" ] || why="unexpected files"
  tally "the ZIP holds exactly: $files"
  guide=$tmp/unzipped/$base/README.txt
  lines=$(wc -l <"$guide")
  LC_ALL=C grep -qP '[^\x09\x0a\x0d\x20-\x7e]' "$guide" && why="not plain ASCII"
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
  [ "$(sed -n 2p "$guide" | tr -d '\r')" = "$(head -1 "$guide" | tr -d '\r' | tr -c '\n' =)" ] ||
    why=$(why_not "$why" "its title's underline is not as long as the title")
  tally "README.txt: $lines CRLF lines of ASCII, at most 80 columns, switches, statuses, version $version"

  # Every text file the ZIP ships is Windows text: each line end CRLF, no bare LF or CR (a
  # value substituted into a template brings its own line ends). The MSI holds the same
  # bytes: scripts/verify-release's rows (release.verify) compare the two.
  for name in $(jq -r '.members[] | select(.text) | .name' "$src/release/contract.json"); do
    shipped=$tmp/unzipped/$base/$name
    lf=$(tr -cd '\n' <"$shipped" | wc -c) cr=$(tr -cd '\r' <"$shipped" | wc -c) crlf=$(grep -c $'\r$' "$shipped")
    [ -s "$shipped" ] && [ "$crlf" = "$lf" ] && [ "$cr" = "$lf" ] && [ "$(tail -c 1 "$shipped" | od -An -c | tr -d ' ')" = '\n' ] ||
      why="$crlf CRLF line ends, $lf LF and $cr CR in all"
    tally "${shipped#"$tmp/"}: CRLF only"
  done

  # README.txt names what dorvane.exe contains as the notices of this architecture do: each of
  # their sections, and none that only another architecture's notices have.
  headings() { tr -d '\r' <"$1" | grep -B1 -E '^-+$' | sed -nE 's/^[0-9]+\. (The )?//p'; }
  notices=$tmp/unzipped/$base/THIRD-PARTY-NOTICES.txt
  guide_text=$(tr -d '\r' <"$guide" | tr -s ' \n' '  ')
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

  security_checks

  step "the signed exe under wine"
  local signed=$fix/signed/dorvane.exe
  under_wine "the signed exe" || return
  why=""
  # The VM cannot see this machine's /tmp: what it runs goes through its session folder.
  if [ ${#vm[@]} != 0 ]; then
    mkdir -p "$vm_session/release-packages"
    cp "$signed" "$vm_session/release-packages/signed.exe"
    signed=$vm_session/release-packages/signed.exe
    vm+=(run "$vm_session" --timeout 1800 --)
  fi
  # The signed exe differs from the one the usage table ran on only by its signature: one
  # case, to a file and through a pipe, shows the loader takes it.
  "${vm[@]}" bash "$here/usage_test.sh" "$usage" "$arch" "$wine_dir" "$signed" no_arguments \
    >"$tmp/usage.log" 2>&1 ||
    why=$(grep -E 'FAIL|wine' "$tmp/usage.log" | head -3 | tr '\n' ' ')
  grep -q '^2 passed, 0 failed' "$tmp/usage.log" || why=$(why_not "$why" "$(tail -1 "$tmp/usage.log")")
  record "the signed exe shows its usage screen under wine${vm_session:+ in a VM}" "$why"
  [ ${#vm[@]} = 0 ] || rm -rf "$vm_session/release-packages"
}

msi() {
  step "the MSI's tables"
  read -r program_files platform < <(jq -r --arg a "$arch" '.architectures[$a].msi | "\(.program_files) \(.platform)"' \
    "$src/release/contract.json")
  older=$fix/older/${msi/$version/0.0.1} new_msi=$packages/$msi
  want() { [ "$2" = "$3" ] || why=$(why_not "$why" "$1: $2"); }  # WHAT GOT EXPECTED
  why=""
  want files "$(table "$new_msi" File | cut -f3 | tr '\n' ' ')" "LICENSE THIRD-PARTY-NOTICES.txt README.txt dorvane.exe "
  want component "$(table "$new_msi" Component | cut -f3,6)" "INSTALLDIR	dorvane.exe"
  want folder "$(table "$new_msi" Directory | grep '^INSTALLDIR	')" "INSTALLDIR	$program_files	DORVANE"
  tally "$msi: its files in [$program_files]\\DORVANE"
  # Windows Installer refuses a package whose platform is not the machine's own (or one it
  # emulates): the summary's template says which.
  template=$(table "$new_msi" summary template)
  want template "$template" "$platform;1033"
  tally "$msi: for $platform Windows (template $template)"
  upgrade=$(table "$new_msi" Upgrade)
  code=$(cut -f1 <<<"$upgrade" | sort -u)
  [ "$(cut -f1 < <(table "$older" Upgrade) | sort -u)" = "$code" ] || why="the older version's UpgradeCode differs"
  grep -qx "$code		$version		513		WIX_UPGRADE_DETECTED" <<<"$upgrade" &&
    grep -qx "$code	$version			2		WIX_DOWNGRADE_DETECTED" <<<"$upgrade" || why=$(why_not "$why" "upgrade rows: $upgrade")
  table "$new_msi" LaunchCondition | grep -q '^NOT WIX_DOWNGRADE_DETECTED	A newer version' ||
    why=$(why_not "$why" "no message refusing a downgrade")
  tally "upgrades: UpgradeCode $code, the same in the older version; older refused"
  want "the PATH row" "$(table "$new_msi" Environment)" "PATH	=-*PATH	[~];[INSTALLDIR]	Program"
  for action in RemoveEnvironmentStrings WriteEnvironmentStrings; do
    table "$new_msi" InstallExecuteSequence | grep -q "^$action	" || why=$(why_not "$why" "no $action")
  done
  record "appends its folder to the system PATH, removed on uninstall" "$why"
  # Every table, row and summary field, as release/contract.json says the build makes them
  # of these files: this package and the older version's.
  (mkdir "$tmp/members" && cd "$tmp/members" && cmake -E tar xf "$packages/$zip")
  for pair in "$new_msi:$version:$tmp/members/$base" "$older:0.0.1:$fix/older/members/${base/$version/0.0.1}"; do
    IFS=: read -r package package_version members <<<"$pair"
    why=$(/usr/bin/python3 - "$src/release" "$package" "$arch" "$package_version" "$epoch" "$members" <<'EOF'
import os, sys
sys.path.insert(0, sys.argv[1])
from verify import contract, msi
path, arch, version, epoch, folder = sys.argv[2:]
files = {name: open(os.path.join(folder, name), "rb").read() for name in contract.members()}
read = msi.read(path)
expected = contract.msi_expected(arch, version, epoch, files, contract.msitools_of(read["summary"]))
print("; ".join(contract.msi_differences(read, expected)[:3]))
EOF
    )
    record "$(basename "$package"): every table, row and summary field as release/contract.json has them" "$why"
  done

  step "the MSI round trip under wine"
  under_wine "the MSI" || return
  local exe=$build/dorvane.exe product_code
  product_code=$(table "$new_msi" Property | awk -F'\t' '$1 == "ProductCode" { print $2 }')
  # The VM cannot see this machine's /tmp: what it runs goes through its session folder.
  if [ ${#vm[@]} != 0 ]; then
    mkdir -p "$vm_session/release-msi"
    cp "$build/dorvane.exe" "$new_msi" "$older" "$vm_session/release-msi/"
    older=$vm_session/release-msi/$(basename "$older")
    new_msi=$vm_session/release-msi/$msi
    exe=$vm_session/release-msi/dorvane.exe
    vm+=(run "$vm_session" --timeout 1800 --)
  fi
  # Install, PATH, upgrade and uninstall: its own tally, each line counted here. In a test
  # VM the first install and its uninstall alone (msi_test.sh says why).
  local scenarios="" expected=7
  [ ${#vm[@]} = 0 ] || scenarios=first expected=2
  "${vm[@]}" bash "$here/msi_test.sh" "$arch" "$wine_dir" "$new_msi" "$older" "$exe" \
    "$version" "$usage" "$product_code" $scenarios >"$tmp/msi.log" 2>&1
  replay "msiexec: " "$tmp/msi.log"
  grep -q "^$expected passed, 0 failed" "$tmp/msi.log" || record "the MSI round trip under wine" "$(tail -3 "$tmp/msi.log" | tr '\n' ' ')"
  [ ${#vm[@]} = 0 ] || rm -rf "$vm_session/release-msi"
}

# The records of this tree's package, and of the signed one, whose exe is another file.
records() {
  if [ "$has_records" = 0 ]; then
    echo "left out: the SBOM and provenance (no Node.js, npm packages or python3-apt: scripts/ensure-tools.sh records)"
    record "the records' tools are missing: nothing to check" ""
    return
  fi
  local signed=$fix/signed why
  step "this tree's records"
  if [ -z "$dirty" ]; then
    check_records "$packages" "$build/dorvane.map" "$build/release/THIRD-PARTY-NOTICES.txt" "$epoch" "$tree_commit"
  else
    echo "left out: this tree's records (it has uncommitted changes, so no provenance): the signed copy's stand in"
  fi
  step "the signed release's records"
  check_records "$signed/package" "$signed/dorvane.map" "$build/release/THIRD-PARTY-NOTICES.txt" "$epoch" "$commit" "signed "
  why=""
  [ -f "$signed/package/$envelope" ] || why="the signed build has none"
  [ -f "$packages/$envelope" ] && why=$(why_not "$why" "the unsigned build has one")
  [ -f "$packages/$bundle" ] && why=$(why_not "$why" "the unsigned build has a Sigstore bundle")
  record "$envelope and $bundle only when signed" "$why"
  check_envelope "$signed/package/$envelope" "$signed/package/$provenance"
  check_bundle "$signed/package" "$fix/token-cert.pem" "token-signed "
  # What the records must not claim: the 64-bit suite only (each case runs the package step
  # again, in the fixture's signed tree configured not to sign, nor to build the tests).
  if [ "$arch" = win64 ]; then
    step "what the records must not claim (the package step again)"
    { cmake -U 'DORVANE_SIGN_*' -DDORVANE_BUILD_TESTS=OFF "$rel/$preset" &&
      env -u SOURCE_DATE_EPOCH DORVANE_SOURCE_COMMIT="$commit" cmake --build "$rel/$preset" --target package; } \
      >"$tmp/unsign.log" 2>&1 || { cat "$tmp/unsign.log"; exit 1; }
    check_record_cases "$rel/$preset" "$sources" "$signed"
  fi
}

signing() {
  signing_inputs
  watch_start
  token_checks
}

publishing() {
  signing_inputs
  # Rows of scripts/release.sh on copies of the fixture's signed release, as it was made
  # (tests/wine/publish_rows.sh): publish_rows SOURCE_DIR BUILD_ROOT RELEASE_DIR CERT.
  step "publish_rows"
  # shellcheck source=publish_rows.sh
  source "$here/publish_rows.sh"
  # The tree as it was signed, which the signing test has since configured again.
  mkdir -p "$tmp/as-signed/windows-x64"
  cp -a "$fix/signed/package" "$fix/signed/project.json" "$fix/signed/signing.json" "$fix/signed/CMakeCache.txt" \
    "$tmp/as-signed/windows-x64/"
  publish_rows "$src" "$tmp/as-signed" "$final" "$fix/token-cert.pem"
  step "the timestamp authorities"
  start_authorities "$tmp/tsa"
  release_setup
  make_ca "$tmp/ca"
  watch_start
  release_checks
  watch_stop
  stop_helpers
}

# An expansion error (set -u) ends bash's whole top-level command, here the concern, and
# the script goes on to its tally: concern_done says whether the concern ran to its end.
concern_done=""
case $concern in
  packages | msi | records | signing | publishing) "$concern"; concern_done=1 ;;
  *) echo "release_test.sh: no concern '$concern'" >&2; exit 2 ;;
esac
[ -n "$concern_done" ] || record "the $concern checks ran to their end" "a shell error ended them early (above)"
finish
