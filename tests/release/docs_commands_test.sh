#!/usr/bin/env bash
# What the users' pages and README.txt tell a reader to type, run as written, so that a
# changed option, file name, folder or registry key fails here rather than in a reader's
# hands; on three releases scripts/release.sh --no-build makes of release.build's packages:
# unsigned (this tree's), self-signed (the fixture's token-signed one) and ca (this tree's
# install packed again by the package step's CPack, signed by a test CA's customer: an
# intermediate, a CRL distribution point nothing may contact, an organisation with a comma
# and umlauts; privately timestamped). Each command block of a page has a marker
# <!-- docs.commands: HOW --> that run_block reads; README.txt's go by the table further down.
# usage: docs_commands_test.sh SOURCE_DIR BUILD_DIR WINE_DIR
set -u
here=$1/tests/wine
# shellcheck source=../checks.sh
source "$here/../checks.sh"
# shellcheck source=../wine/signing_checks.sh
source "$here/signing_checks.sh"
# shellcheck source=../wine/publish_rows.sh
source "$here/publish_rows.sh"
give_up() { record "$1" "$2"; finish; exit; }
fix=$2/release-fixture
[ -f "$fix/fixture.env" ] ||
  give_up "the releases of release.build in $fix" "none: ctest runs release.build with this test (not with -FS)"
arch="" build="" epoch="" commit="" zip="" base="" msi="" version="" has_records=0 dirty=""
# shellcheck source=/dev/null # (the fixture's facts; the pages are this test's sources')
source "$fix/fixture.env"
src=$1 wine_dir=$3 run=$here/wine-run.sh
checked=$("$run" "$arch" --check 2>&1) || { status=$?; echo "$checked"; exit $status; }
[ "$has_records" = 1 ] ||
  give_up "the records' tools (a release holds an SBOM and provenance)" "missing: scripts/ensure-tools.sh records"
prefix=$wine_dir/docs-commands listener=""
trap 'stop_helpers; [ -z "$listener" ] || kill "$listener"; timeout 20 "$run" "$arch" --server "$prefix" -k 2>/dev/null; rm -rf "$prefix" "$tmp"' EXIT

rows=$tmp/rows wrapper=()
publish_sources "$src" || give_up "a committed copy of the sources" "git failed"
declare -A sums leaf subject anchors
# KIND TREE CERT [ROOTS]: the release of the built tree TREE, its flat files in
# $tmp/KIND/download, the verifier beside it in $tmp/KIND/bin, the facts release.sh printed.
release_of() {
  local kind=$1 folder verifier
  from=$2 cert=$3
  publish_tree "$tmp/$kind"
  DORVANE_RELEASE_CA=${4-} publish_release "$tmp/$kind"
  cp "$rows/out" "$tmp/$kind.log"
  folder=$(sed -n 's/^release [^:]*: //p' "$rows/out")
  { [ "$released" = 0 ] && [ -d "$folder" ]; } ||
    { record "release.sh --no-build: the $kind release" "status $released: $(tail -3 "$rows/out" | tr '\n' ' ')"; return 1; }
  mkdir -p "$tmp/$kind/download" "$tmp/$kind/bin"
  find "$folder" -maxdepth 1 -type f -exec cp {} "$tmp/$kind/download/" \;
  # (The verifier as handed over: the file release.sh named.)
  verifier=$(published "the verifier, one file (publish it as verify-release)" "$rows/out")
  cp "${verifier%, SHA-256 *}" "$tmp/$kind/bin/verify-release"
  sums[$kind]=$(published "SHA-256 of SHA256SUMS" "$rows/out")
  leaf[$kind]=$(published "signer's certificate SHA-256" "$rows/out")
  subject[$kind]=$(published "signer (RFC 4514 subject)" "$rows/out")
}

# This tree's install packed again by the package step's own CPack configuration into TREE
# (no build), its provenance naming the fixture's commit (this tree may have uncommitted
# changes); given SIGNING, signed so: the exe by release/sign.sh before it is packed, the MSI
# and the envelope by the steps that sign them in a signed build.
repackage() {  # TREE [SIGNING]
  local tree=$1/windows-x64
  mkdir -p "$tree" && cp "$build/project.json" "$build/CMakeCache.txt" "$tree/" && cp "${2:-$build/signing.json}" "$tree/signing.json"
  echo "$epoch" >"$1/epoch"
  printf 'include([==[%s]==])\nset(CPACK_DORVANE_SOURCE_COMMIT %s)\n' "$build/cpack_options.cmake" "$commit" >"$1/options.cmake"
  printf 'include([==[%s]==])\nset(CPACK_PACKAGE_DIRECTORY [==[%s]==])\nset(CPACK_PROJECT_CONFIG_FILE [==[%s]==])\n' \
    "$build/CPackConfig.cmake" "$tree/package" "$1/options.cmake" >"$1/CPackConfig.cmake"
  if [ -n "${2-}" ]; then
    printf 'set(CPACK_DORVANE_SIGNING [==[%s]==])\nset(CPACK_PRE_BUILD_SCRIPTS [==[%s]==])\n' "$tree/signing.json" \
      "$1/sign.cmake" >>"$1/CPackConfig.cmake"
    # shellcheck disable=SC2016 # (a CMake variable)
    printf 'execute_process(COMMAND bash [==[%s]==] exe ${CPACK_TEMPORARY_DIRECTORY}/dorvane.exe [==[%s]==] [==[%s]==] RESULT_VARIABLE failed)\nif(failed)\n  message(FATAL_ERROR "sign.sh failed")\nendif()\n' \
      "$src/release/sign.sh" "$1/epoch" "$tree/signing.json" >"$1/sign.cmake"
  fi
  (cd "$1" && "$(sed -n 's/^CMAKE_CPACK_COMMAND:INTERNAL=//p' "$build/CMakeCache.txt")" --config "$1/CPackConfig.cmake") \
    >"$1/cpack.log" 2>&1 ||
    { record "CPack again in $tree" "$(grep -m2 -i 'error\|sign.sh' "$1/cpack.log" | tr '\n' ' ')"; return 1; }
}
# NAME ROOTS TSA LOG [CRL...]: anchors[NAME], a folder of the anchors a user is given (the
# public key LOG printed).
anchors_in() {
  local folder=$tmp/anchors-$1
  anchors[$1]=$folder
  mkdir "$folder" && cp "$2" "$folder/ROOTS.pem" && cp "$3" "$folder/TSA.pem" &&
    cp "$(published "public key" "$4")" "$folder/pub.pem" 2>/dev/null
  [ $# -lt 5 ] || cat "${@:5}" >"$folder/CRLS.pem"
}

step "the unsigned release"
if [ -z "$dirty" ]; then
  release_of unsigned "$build" ""
else
  echo "the unsigned release: this tree's package has no provenance (uncommitted changes): its install packed again"
  repackage "$tmp/unsigned-tree" && release_of unsigned "$tmp/unsigned-tree/windows-x64" ""
fi
step "the self-signed release"
release_of self-signed "$fix/signed" "$fix/token-cert.pem"
anchors_in self-signed "$fix/token-cert.pem" "$(jq -r .timestamp_ca "$fix/signed/signing.json")" "$tmp/self-signed.log"
# The unsigned release, checked with the self-signed one's anchors: it must fail.
anchors[unsigned]=${anchors[self-signed]-} leaf[unsigned]=${leaf[self-signed]-} subject[unsigned]=${subject[self-signed]-}

step "the ca release"
# The CRL distribution point's and AIA's address: a listener that notes every connection.
/usr/bin/python3 -c 'import socket, sys
server = socket.create_server(("127.0.0.1", 0)); open(sys.argv[1], "w").write(str(server.getsockname()[1]))
while True: server.accept()[0].close(); open(sys.argv[2], "a").write("contacted\n")' "$tmp/cdp.port" "$tmp/contacts" &
listener=$!
start_authorities "$tmp/tsa"
for _ in $(seq 100); do [ -s "$tmp/cdp.port" ] && break; sleep 0.1; done
cdp=http://127.0.0.1:$(<"$tmp/cdp.port")
openssl genrsa -out "$tmp/key.pem" 2048 2>/dev/null
ca=$tmp/ca
make_ca "$ca"
printf '%s\n' basicConstraints=CA:FALSE keyUsage=critical,digitalSignature extendedKeyUsage=codeSigning \
  "crlDistributionPoints=URI:$cdp/intermediate.crl" "authorityInfoAccess=caIssuers;URI:$cdp/intermediate.cer" \
  certificatePolicies=2.23.140.1.4.1 >"$ca/public.ext"
# Each issuer's CRL, and the intermediate's revoking the signer.
crl() {  # ISSUER OPTION...: openssl ca as the root or the intermediate
  mkdir -p "$ca/db-$1" && touch "$ca/db-$1/index.txt" && { [ -f "$ca/db-$1/number" ] || echo 01 >"$ca/db-$1/number"; } &&
    printf '[ca]\ndefault_ca=d\n[d]\ndatabase=%s\ncrlnumber=%s\ndefault_md=sha256\ndefault_crl_days=30\n' \
      "$ca/db-$1/index.txt" "$ca/db-$1/number" >"$ca/db-$1/ca.cnf" &&
    openssl ca -config "$ca/db-$1/ca.cnf" -keyfile "$ca/$1.key" -cert "$ca/$1.pem" "${@:2}"
}
{ openssl req -new -key "$tmp/key.pem" -utf8 -subj "/C=DE/O=Zählwerk, Söhne GmbH/CN=Zählwerk, Söhne GmbH" |
  openssl x509 -req -CA "$ca/intermediate.pem" -CAkey "$ca/intermediate.key" -days 365 -extfile "$ca/public.ext" \
    -out "$ca/public.pem" && cat "$ca/public.pem" "$ca/intermediate.pem" >"$ca/public-chain.pem" &&
  crl root -gencrl -out "$ca/root.crl" && crl intermediate -gencrl -out "$ca/intermediate.crl" &&
  crl intermediate -revoke "$ca/public.pem" && crl intermediate -gencrl -out "$ca/revoked.crl"; } >"$ca/pki.log" 2>&1 ||
  record "the test CA's signer and CRLs" "$(tail -2 "$ca/pki.log" | tr '\n' ' ')"
signing_config "$ca/signing.json" pem "$ca/public-chain.pem" "$tmp/key.pem" "" /usr/bin/osslsigncode "$tsa/ca.pem" 30 "$good"
repackage "$tmp/ca-tree" "$ca/signing.json" &&
  release_of ca "$tmp/ca-tree/windows-x64" "$ca/public-chain.pem" "$ca/root.pem"
stop_helpers
# Its anchors: with the CRLs the publisher publishes, without, and with one revoking the signer.
anchors_in ca "$ca/root.pem" "$tsa/ca.pem" "$tmp/ca.log" "$ca/intermediate.crl" "$ca/root.crl"
anchors_in ca-nocrl "$ca/root.pem" "$tsa/ca.pem" "$tmp/ca.log"
anchors_in ca-revoked "$ca/root.pem" "$tsa/ca.pem" "$tmp/ca.log" "$ca/revoked.crl" "$ca/root.crl"
kinds=(unsigned self-signed ca)
for kind in "${kinds[@]}"; do [ -d "$tmp/$kind/download" ] || { finish; exit; }; done
product_code=$(/usr/bin/python3 -c 'import sys; sys.path.insert(0, sys.argv[1]); from verify import msi
print(dict(msi.read(sys.argv[2])["tables"]["Property"]["rows"])["ProductCode"])' "$src/release" "$tmp/ca/download/$msi")
(mkdir "$tmp/guide" && cd "$tmp/guide" && cmake -E tar xf "$tmp/unsigned/download/$zip")
guide=$tmp/guide/$base/README.txt
listing() { (cd "$1" && find . -printf '%P %s\n' | LC_ALL=C sort && sha256sum ./*); }
for kind in "${kinds[@]}"; do listing "$tmp/$kind/download" >"$tmp/$kind.listing"; done

# The fleet rule, once on each page, in the same words.
rule() { tr -d '\r' <"$1" | tr -s ' \n' '  ' | grep -oE "Take the file of the machine's own architecture:[^.]*\."; }
page=$src/docs/administrators.md
want=$(rule "$page")
why=""
[ "$(wc -l <<<"$want")" = 1 ] && [ -n "$want" ] || why="administrators.md states it $(grep -c . <<<"$want") times"
for other in "$src/README.md" "$guide"; do
  [ "$(rule "$other")" = "$want" ] || why=$(why_not "$why" "${other##*/} says '$(rule "$other")'")
done
# (tally, signing_checks.sh's, records a row's reasons, gathered in why, and clears why.)
tally "the fleet rule reads the same on README.md, administrators.md and README.txt: $want"

# The page's table gives each MSI the UpgradeCode the contract gives its architecture.
while read -r name code; do
  grep -F -- "| \`dorvane-<version>-$name.msi\` |" "$page" | grep -qF -- "{$code}" ||
    why=$(why_not "$why" "no $name row giving {$code}")
done < <(jq -r '.architectures | to_entries[] | "\(.key) \(.value.msi.upgrade_code)"' "$src/release/contract.json")
record "administrators.md's table: each MSI's UpgradeCode as release/contract.json gives it" "$why"

# KIND ANCHORS: stdin with the placeholders filled in for the release KIND: HEX is, after
# --sums, the SHA-256 of SHA256SUMS, else the signer's certificate's; DIR and FOLDER the
# download folder; ANCHORS/ a folder outside it (ROOTS.pem, TSA.pem, CRLS.pem, pub.pem).
fill() {
  local text pair download=$tmp/$1/download
  text=$(cat)
  for pair in "<version>|$version" "{ProductCode}|$product_code" "--sums HEX|--sums ${sums[$1]}" "ANCHORS/|$2/" \
    "sha256:HEX|sha256:${leaf[$1]}" "--cert-sha256 HEX|--cert-sha256 ${leaf[$1]}" "CN=...,O=...|${subject[$1]}" \
    "verify-release DIR|verify-release $download" "verify-release FOLDER|verify-release $download"; do
    text=${text//"${pair%%|*}"/"${pair#*|}"}
  done
  printf '%s\n' "$text"
}
# LABEL KIND HOW BLOCK_FILE: the block run by bash on the release KIND: HOW is signed (on
# the unsigned release it must fail), anchors (in the anchors folder, else the download
# folder). A block that runs osslsigncode verify runs on the ca release with each variant of
# its anchors.
sh_block() {
  local label=$1 kind=$2 how=$3 row variant said want status why="" where verifies=""
  ! grep -q 'osslsigncode verify' "$4" || verifies=1
  # variant | what osslsigncode must say | status
  local variants=("|-|0")
  [ "$kind" != ca ] || [ -z "$verifies" ] ||
    variants=(" with its CRLs|Signature CRL verification: ok|0" "-nocrl without CRLs|CRL online verification disabled|0"
      "-revoked with a CRL revoking the signer|certificate revoked|1")
  [[ $kind != unsigned || $how != *signed* ]] || variants=(" with the self-signed one's anchors|-|1")
  for row in "${variants[@]}"; do
    IFS='|' read -r variant said want <<<"$row"
    where=${anchors[$kind]}${variant%% *}
    fill "$kind" "$where" <"$4" >"$tmp/block.sh"
    [[ $how == *anchors* ]] || where=$tmp/$kind/download
    (cd "$where" && PATH=$tmp/$kind/bin:$PATH timeout 120 bash -euo pipefail "$tmp/block.sh") </dev/null >"$tmp/out" 2>&1
    status=$?
    [ "$want" = 0 ] || [ "$status" != 0 ] || why="it passed"
    [ "$want" != 0 ] || [ "$status" = 0 ] ||
      why="status $status: $({ grep -E '^FAIL|[Ff]ailed|rror' "$tmp/out" || tail -3 "$tmp/out"; } | head -3 | tr '\n' ' ')"
    # (osslsigncode ends with Succeeded over a timestamp that does not verify.)
    [ "$want" != 0 ] || [ -z "$verifies" ] || { grep -qx Succeeded "$tmp/out" && ! grep -q 'verification: failed' "$tmp/out" &&
      grep -q 'Timestamp Server Signature verification: ok' "$tmp/out"; } || why=$(why_not "$why" "not Succeeded with its timestamp verified")
    [ "$said" = - ] || grep -qF -- "$said" "$tmp/out" || why=$(why_not "$why" "no '$said'")
    variant=${variant#* }
    [ "$want" = 0 ] || variant+=", must fail"
    tally "$label, $kind${variant:+ ($variant)}: $(head -1 "$4" | cut -c1-50)..."
  done
}

# A Windows folder (C:\Tools\DORVANE) in the prefix.
unix_folder() { local f=${1#[Cc]:\\}; echo "$prefix/drive_c/${f//\\//}"; }
installed=""  # where the last msiexec /i put DORVANE, as Windows names it
# LINE WANT_STATUS LABEL: runs one cmd line under wine in the ca release's download folder,
# then holds the machine to what the line says it does.
cmd_line() {
  local line=$1 want=$2 status why=""
  (cd "$tmp/ca/download" && timeout 180 "$run" "$arch" "$prefix" cmd /c "$line") </dev/null >"$tmp/out" 2>&1
  status=$?
  # (Linux sees the low byte of a Windows status.)
  [ "$status" = $((want % 256)) ] || why="status $status, expected $want: $(tr -d '\r' <"$tmp/out" | tail -2 | tr '\n' ' ')"
  [ "$want" != 0 ] || case $line in
    "msiexec /i "*)
      installed='C:\Program Files\DORVANE'
      [[ $line =~ INSTALLDIR=([^\ \"]+) ]] && installed=${BASH_REMATCH[1]}
      [ -f "$(unix_folder "$installed")/dorvane.exe" ] || why=$(why_not "$why" "no dorvane.exe in $installed") ;;
    "msiexec /x "*)
      [ -z "$installed" ] || [ ! -e "$(unix_folder "$installed")" ] || why=$(why_not "$why" "$installed is still there")
      installed="" ;;
    "reg query "*) grep -qiF -- "$installed" "$tmp/out" || why=$(why_not "$why" "does not print $installed") ;;
  esac
  record "$3, ca: $line" "$why"
}
bash "$here/prefix.sh" copy "$arch" "$wine_dir" docs-commands
# One server for every line (the trap stops it): each starts the sooner, and sees the last
# one's registry.
"$run" "$arch" --server "$prefix" -p

# LABEL HOW BLOCK_FILE: a block as its marker says, counted in ran or skipped; 1 for an
# unknown HOW. sh [signed] [anchors]: bash in each release's download folder (or anchors
# folder): status 0, but signed on the unsigned release must fail; sh new: bash in a new
# folder, and a cert.pem and key.pem it makes must pass sign.sh check; cmd [status=N]: each
# line by cmd under wine on the ca release (wine's msiexec reads no signature); not run (WHY).
run_block() {
  local label="$1 ($2)" how=$2 kind command want=0
  case $how in
    sh | "sh signed" | "sh anchors" | "sh signed anchors")
      for kind in "${kinds[@]}"; do sh_block "$label" "$kind" "$how" "$3"; done ;;
    "sh new")
      why=""
      (mkdir "$tmp/new" && cd "$tmp/new" && timeout 120 bash -euo pipefail "$3") </dev/null >"$tmp/out" 2>&1 ||
        why="status $?: $(tail -2 "$tmp/out" | tr '\n' ' ')"
      [ ! -f "$tmp/new/cert.pem" ] || [ ! -f "$tmp/new/key.pem" ] ||
        { signing_config "$tmp/new.json" pem "$tmp/new/cert.pem" "$tmp/new/key.pem" "" /usr/bin/osslsigncode "" 30 &&
          bash "$src/release/sign.sh" check "$tmp/new.json" >"$tmp/check.out" 2>&1; } ||
        why=$(why_not "$why" "sign.sh check: $(tail -1 "$tmp/check.out")")
      rm -rf "$tmp/new"
      record "$label, in a new folder: $(head -1 "$3" | cut -c1-50)..." "$why" ;;
    cmd | "cmd status="[0-9]*)
      [ "$how" = cmd ] || want=${how#cmd status=}
      while IFS= read -r command; do
        [ -z "$command" ] || cmd_line "$command" "$want" "$label"
      done < <(fill ca "${anchors[ca]}" <"$3") ;;
    "not run ("*")") echo "not run: $1 ${how#not run }" && skipped=$((skipped + 1)) && return ;;
    *) return 1 ;;
  esac
  ran=$((ran + 1))
}

# PAGE: the page's marked blocks, in the page's order.
run_page() {
  local name=${1##*/} number=0 marker="" start=0 line how=""
  ran=0 skipped=0
  while IFS= read -r line; do
    number=$((number + 1))
    if [ "$start" = 0 ]; then
      [[ $line != '```'* ]] || { start=$number how=$marker; : >"$tmp/page-block.sh"; }
      marker=""
      [[ $line =~ ^'<!-- docs.commands: '(.*)' -->'$ ]] && marker=${BASH_REMATCH[1]}
    elif [[ $line != '```'* ]]; then
      printf '%s\n' "$line" >>"$tmp/page-block.sh"
    else
      { [ -n "$how" ] && run_block "$name line $start" "$how" "$tmp/page-block.sh"; } ||
        record "$name line $start: a command block says whether docs.commands runs it" \
          "the line before it is no <!-- docs.commands: sh [signed] [anchors] | sh new | cmd [status=N] | not run (WHY) --> marker${how:+ (it says $how)}"
      start=0
    fi
  done <"$1"
  record "$name: $ran blocks run, $skipped marked not run" "$([ "$ran" -ge 1 ] || echo none)"
}

# README.txt's commands, by how each starts: how it runs, as a page's marker says. A
# command's lines after its first are indented further, or follow a line ending in \ or ^;
# consecutive commands of one row run as one block; cmd ones up to two spaces before a
# comment.
readme_rows=(
  '^dorvane ::not run (the synopsis, and requests to Windows: program.windows.requests makes each under wine)'
  '^if errorlevel ::not run (it reads the status of the request on the line before)'
  '^(& |if \(|\$|\(Get-)::not run (PowerShell: wine'"'"'s is a stub that runs nothing)'
  '^schtasks ::not run (wine'"'"'s schtasks makes a task from /xml alone)'
  '^msiexec ::cmd'
  '^(winget|scoop) ::not run (winget and Scoop are Windows'"'"' own)'
  '^certutil ::not run (wine'"'"'s certutil prints no hash)'
  '^((f|t)=|jq |\{ printf |openssl dgst )::sh signed'
  '^sha256sum -c ::sh'
  '^verify-release FOLDER --sums ::sh anchors'
  '^verify-release FOLDER --ca ::sh signed anchors'
)
command_start='^  ([a-z][a-z0-9-]*(=| [^ ])|[$&({])'
readme() {
  local number=0 line block=0 how="" last="" first=0 command row rule
  ran=0 skipped=0
  flush() {
    [ -n "$how" ] || return 0
    [ "$how" != cmd ] || sed -i 's/  .*//' "$tmp/readme-block.sh"
    run_block "README.txt line $first" "$how" "$tmp/readme-block.sh"
    how=""
  }
  while IFS= read -r line; do
    number=$((number + 1))
    [[ $line == '  '* ]] || { flush; block=0 last=""; continue; }
    # A paragraph indented two spaces is commands when its first line starts with one.
    [ $block != 0 ] || { block=2; [[ $line =~ $command_start ]] && block=1; }
    if [ $block = 1 ] && [[ $line == '   '* || $last == *\\ || $last == *^ ]]; then
      printf '%s\n' "${line#  }" >>"$tmp/readme-block.sh"
    elif [ $block = 1 ]; then
      command=${line#  } row=""
      for rule in "${readme_rows[@]}"; do [[ $command =~ ${rule%%::*} ]] && row=${rule#*::} && break; done
      if [ "$row" != "$how" ] || [ -z "$row" ]; then
        flush
        how=$row first=$number
        : >"$tmp/readme-block.sh"
      fi
      [ -n "$row" ] || record "README.txt line $number: $command" "no row of docs_commands_test.sh's README.txt table says how it runs"
      printf '%s\n' "$command" >>"$tmp/readme-block.sh"
    fi
    last=$line
  done < <(tr -d '\r' <"$guide")
  flush
  record "README.txt: $ran command blocks run, $skipped not run" "$([ "$ran" -ge 3 ] || echo "only $ran")"
}
step "README.txt's commands"
readme
[ -z "$installed" ] || cmd_line "msiexec /x $product_code /qn" 0 "cleaning up"
step "the pages' command blocks"
for page in administrators checking publishers; do run_page "$src/docs/$page.md"; done

why=""
for kind in "${kinds[@]}"; do listing "$tmp/$kind/download" | cmp -s - "$tmp/$kind.listing" || why=$(why_not "$why" "$kind's changed"); done
record "the download folders hold the downloads alone after every block" "$why"
record "nothing connected to the CRL distribution point's address, $cdp" \
  "$([ ! -s "$tmp/contacts" ] || echo "$(wc -l <"$tmp/contacts") connections")"
finish
