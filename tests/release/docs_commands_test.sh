#!/usr/bin/env bash
# What the administrators' and auditors' pages and README.txt tell a reader to type, run as
# written against a release built here, so that a changed option, file name, folder or
# registry key fails here rather than in a reader's hands. Every command block of
# docs/administrators.md and docs/checking.md carries a marker on the line before it:
#   <!-- docs.commands: sh -->               run by bash in the release folder: status 0
#   <!-- docs.commands: cmd -->              each line run by cmd under wine in the release
#                                            folder: status 0
#   <!-- docs.commands: cmd status=N -->     the same, each line ending with status N
#   <!-- docs.commands: not run (WHY) -->    not runnable here, and why
# A block without one fails. Only <version>, {ProductCode}, HEX (the signer's certificate's
# SHA-256), DIR (a folder of the downloaded files alone) and ANCHORS (a folder outside the
# download folder) are filled in; ANCHORS/ROOTS.pem is the release's certificate,
# ANCHORS/TSA.pem the system's store and ANCHORS/pub.pem its public key, as its publisher
# would publish them (no CRLS.pem: the certificate names no CRL distribution point), and
# verify-release is the checkout's. The blocks that run osslsigncode verify run again on a
# copy signed as a public CA's customer is (an intermediate and CRL distribution points, a
# private timestamp authority), with its anchors and CRLs, without the CRLs, and with a CRL
# that revokes the signer's certificate, which must fail. The msiexec lines of
# README.txt run too, and the fleet rule ("Take the file of the machine's own architecture:
# ...") must read the same on the front page, this page and README.txt.
# usage: docs_commands_test.sh SOURCE_DIR WINE_DIR TOOLCHAIN_FILE [NODE_MODULES]
set -u
src=$1
wine_dir=$2
toolchain=$3
node_modules=${4-}
arch=win64
run=$src/tests/wine/wine-run.sh
page=$src/docs/administrators.md
checked=$("$run" "$arch" --check 2>&1) || { status=$?; echo "$checked"; exit $status; }
source "$src/tests/checks.sh"
prefix=$wine_dir/docs-commands
authority=""
trap '[ -z "$authority" ] || kill "$authority"; timeout 20 "$run" "$arch" --server "$prefix" -k 2>/dev/null; rm -rf "$prefix" "$tmp"' EXIT

# The release: the package step of a commit of the sources as they are (so that it has its
# provenance and signed envelope), signed with a throwaway certificate, which the pages'
# blocks trust as ROOTS.pem and pub.pem.
openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=DORVANE docs test signing" \
  -addext extendedKeyUsage=codeSigning -keyout "$tmp/key.pem" -out "$tmp/cert.pem" 2>/dev/null
copy_sources "$src" "$tmp/src"
{
  git -C "$tmp/src" init -q && git -C "$tmp/src" add -A &&
    git -C "$tmp/src" -c user.name=t -c user.email=t@t commit -q -m "the sources as they are" &&
    cmake -S "$tmp/src" -B "$tmp/build" -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel \
      -DCMAKE_TOOLCHAIN_FILE="$tmp/src/cmake/$(basename "$toolchain")" -DDORVANE_BUILD_TESTS=OFF \
      -DDORVANE_PRESET="$(jq -r --arg arch "$arch" '.architectures[$arch].preset' "$src/release/contract.json")" \
      ${node_modules:+"-DDORVANE_NODE_MODULES=$node_modules"} \
      -DDORVANE_SIGN_CERT="$tmp/cert.pem" -DDORVANE_SIGN_KEY="$tmp/key.pem" &&
    cmake --build "$tmp/build" --target package
} >"$tmp/build.log" 2>&1 || { tail -20 "$tmp/build.log"; echo "0 passed, 1 failed"; exit 1; }
mkdir "$tmp/release"
find "$tmp/build/package" -maxdepth 1 -type f -exec cp {} "$tmp/release/" \;
# DIR: the downloaded files alone; verify-release: the checkout's.
mkdir "$tmp/download" "$tmp/bin"
find "$tmp/build/package" -maxdepth 1 -type f -exec cp {} "$tmp/download/" \;
ln -s "$src/scripts/verify-release" "$tmp/bin/verify-release"
# ANCHORS: what the publisher publishes apart from the files, kept outside the download folder.
mkdir "$tmp/anchors"
cp "$tmp/cert.pem" "$tmp/anchors/ROOTS.pem"
# (Its release names no timestamp authority: TSA.pem is then the system's store.)
cp /etc/ssl/certs/ca-certificates.crt "$tmp/anchors/TSA.pem"
openssl x509 -in "$tmp/cert.pem" -pubkey -noout >"$tmp/anchors/pub.pem"
leaf_sha256=$(openssl x509 -in "$tmp/cert.pem" -outform DER | sha256sum | cut -c1-64)
msi=$(cd "$tmp/release" && echo dorvane-*-"$arch".msi)
version=${msi#dorvane-}
version=${version%-"$arch".msi}
product_code=$(/usr/bin/python3 -c 'import sys; sys.path.insert(0, sys.argv[1]); from verify import msi
print(dict(msi.read(sys.argv[2])["tables"]["Property"]["rows"])["ProductCode"])' "$src/release" "$tmp/release/$msi")
(cd "$tmp/release" && cmake -E tar xf "dorvane-$version-$arch.zip")

# The same ZIP and MSI signed as a public CA's customer's are: a root, an intermediate, a
# leaf naming CRL distribution points (on a port nothing listens on: osslsigncode must not
# connect), with AIA and a policy and an organisation with a comma and umlauts; timestamped
# by a private authority of the test's own. By release/sign.sh, on copies: no build.
ca_signed() {
  local pki=$tmp/pki cdp=http://127.0.0.1:9
  mkdir "$pki" "$tmp/ca-release" "$tmp/tsa"
  /usr/bin/python3 "$src/tests/wine/tsa.py" "$tmp/tsa" >"$tmp/tsa.log" 2>&1 &
  authority=$!
  openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=DORVANE docs test root" \
    -addext basicConstraints=critical,CA:true -addext keyUsage=critical,keyCertSign,cRLSign \
    -keyout "$pki/ca-key.pem" -out "$pki/ca.pem" &&
    openssl req -newkey rsa:2048 -nodes -subj "/CN=DORVANE docs test intermediate" -keyout "$pki/inter-key.pem" \
      -out "$pki/inter.csr" &&
    printf 'basicConstraints=critical,CA:true\nkeyUsage=critical,keyCertSign,cRLSign\ncrlDistributionPoints=URI:%s/ca.crl\n' \
      "$cdp" >"$pki/inter.ext" &&
    openssl x509 -req -in "$pki/inter.csr" -CA "$pki/ca.pem" -CAkey "$pki/ca-key.pem" -CAcreateserial -days 3650 \
      -extfile "$pki/inter.ext" -out "$pki/inter.pem" &&
    openssl req -newkey rsa:2048 -nodes -utf8 -subj "/C=DE/O=Zählwerk, Söhne GmbH/CN=Zählwerk, Söhne GmbH" \
      -keyout "$pki/leaf-key.pem" -out "$pki/leaf.csr" &&
    printf '%s\n' extendedKeyUsage=codeSigning keyUsage=critical,digitalSignature basicConstraints=CA:false \
      "crlDistributionPoints=URI:$cdp/inter.crl" "authorityInfoAccess=caIssuers;URI:$cdp/inter.cer" \
      certificatePolicies=2.23.140.1.4.1 >"$pki/leaf.ext" &&
    openssl x509 -req -in "$pki/leaf.csr" -CA "$pki/inter.pem" -CAkey "$pki/inter-key.pem" -CAcreateserial \
      -days 3650 -extfile "$pki/leaf.ext" -out "$pki/leaf.pem" || return 1
  cat "$pki/leaf.pem" "$pki/inter.pem" >"$pki/chain.pem"
  # Each issuer's CRL, and the intermediate's revoking the leaf.
  local issuer
  for issuer in ca inter; do
    mkdir "$pki/crl-$issuer" && : >"$pki/crl-$issuer/index.txt" && echo 01 >"$pki/crl-$issuer/number"
    printf '[ca]\ndefault_ca=d\n[d]\ndatabase=%s\ncrlnumber=%s\ndefault_md=sha256\ndefault_crl_days=30\n' \
      "$pki/crl-$issuer/index.txt" "$pki/crl-$issuer/number" >"$pki/crl-$issuer/ca.cnf"
  done
  crl() { openssl ca -config "$pki/crl-$1/ca.cnf" -keyfile "$pki/$1-key.pem" -cert "$pki/$1.pem" "${@:2}"; }
  crl ca -gencrl -out "$pki/ca.crl" && crl inter -gencrl -out "$pki/inter.crl" &&
    crl inter -revoke "$pki/leaf.pem" && crl inter -gencrl -out "$pki/inter-revoked.crl" || return 1
  mkdir "$tmp/ca-crls" "$tmp/ca-nocrl" "$tmp/ca-revoked"
  local _ anchors
  for _ in $(seq 100); do [ -s "$tmp/tsa/port" ] && break; sleep 0.1; done
  for anchors in "$tmp/ca-crls" "$tmp/ca-nocrl" "$tmp/ca-revoked"; do
    cp "$pki/ca.pem" "$anchors/ROOTS.pem" && cp "$tmp/tsa/ca.pem" "$anchors/TSA.pem" || return 1
  done
  cat "$pki/inter.crl" "$pki/ca.crl" >"$tmp/ca-crls/CRLS.pem"
  cat "$pki/inter-revoked.crl" "$pki/ca.crl" >"$tmp/ca-revoked/CRLS.pem"
  jq -n --arg certs "$pki/chain.pem" --arg key "$pki/leaf-key.pem" --arg stamps "$tmp/tsa/ca.pem" \
    --arg url "http://127.0.0.1:$(cat "$tmp/tsa/port")/" \
    '{source: "pem", $certs, $key, pkcs12: "", pkcs11_module: "", pkcs11_engine: "", osslsigncode: "/usr/bin/osslsigncode",
      timestamp_ca: $stamps, timestamps: [$url], timestamp_timeout: 30, agent: ""}' >"$pki/signing.json"
  git -C "$tmp/src" log -1 --format=%ct >"$pki/epoch"
  local zip=dorvane-$version-$arch.zip msi=dorvane-$version-$arch.msi member=dorvane-$version-$arch/dorvane.exe
  osslsigncode remove-signature -in "$tmp/release/$member" -out "$pki/dorvane.exe" &&
    osslsigncode remove-signature -in "$tmp/release/$msi" -out "$tmp/ca-release/$msi" &&
    bash "$src/release/sign.sh" exe "$pki/dorvane.exe" "$pki/epoch" "$pki/signing.json" &&
    bash "$src/release/sign.sh" msi "$tmp/ca-release/$msi" "$pki/epoch" "$pki/signing.json" || return 1
  # (The ZIP with that exe in place of its own, every other entry as it is.)
  /usr/bin/python3 -c 'import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as old, zipfile.ZipFile(sys.argv[2], "w", zipfile.ZIP_DEFLATED) as new:
    for entry in old.infolist():
        new.writestr(entry, open(sys.argv[4], "rb").read() if entry.filename == sys.argv[3] else old.read(entry))' \
    "$tmp/release/$zip" "$tmp/ca-release/$zip" "$member" "$pki/dorvane.exe" || return 1
  (cd "$tmp/ca-release" && sha256sum "$zip" >"$zip.sha256" && sha256sum "$msi" >"$msi.sha256")
  ca_leaf_sha256=$(openssl x509 -in "$pki/leaf.pem" -outform DER | sha256sum | cut -c1-64)
}
ca_signed >"$tmp/ca.log" 2>&1 || { tail -5 "$tmp/ca.log"; record "a copy signed as a CA's customer, timestamped" "it could not be made"; }
guide=$tmp/release/dorvane-$version-$arch/README.txt

# The fleet rule, once on each page, in the same words.
rule() { tr -d '\r' <"$1" | tr -s ' \n' '  ' | grep -oE "Take the file of the machine's own architecture:[^.]*\."; }
want=$(rule "$page")
why=""
[ "$(wc -l <<<"$want")" = 1 ] && [ -n "$want" ] || why="administrators.md states it $(grep -c . <<<"$want") times"
for other in "$src/README.md" "$guide"; do
  [ "$(rule "$other")" = "$want" ] || why=$(why_not "$why" "${other#"$tmp/release/"} says '$(rule "$other")'")
done
record "the fleet rule reads the same on README.md, administrators.md and README.txt: $want" "$why"

# The page's table gives each MSI the UpgradeCode the contract gives its architecture.
why=""
while read -r name code; do
  grep -qF -- "| \`dorvane-<version>-$name.msi\` |" "$page" || { why=$(why_not "$why" "no row for $name"); continue; }
  grep -F -- "| \`dorvane-<version>-$name.msi\` |" "$page" | grep -qF -- "{$code}" ||
    why=$(why_not "$why" "the $name row does not give {$code}")
done < <(jq -r '.architectures | to_entries[] | "\(.key) \(.value.msi.upgrade_code)"' "$src/release/contract.json")
record "administrators.md's table: each MSI's UpgradeCode as release/contract.json gives it" "$why"

# A Windows folder (C:\Tools\DORVANE) in the prefix.
unix_folder() { local f=${1#[Cc]:\\}; echo "$prefix/drive_c/${f//\\//}"; }
installed=""  # where the last msiexec /i put DORVANE, as Windows names it
# LINE WANT_STATUS LABEL: runs one cmd line under wine in the release folder, then holds the
# machine to what the line says it does.
cmd_line() {
  local line=$1 want=$2 label=$3 status why=""
  (cd "$tmp/release" && timeout 180 "$run" "$arch" "$prefix" cmd /c "$line") </dev/null >"$tmp/out" 2>&1
  status=$?
  # msiexec has written the registry once the prefix's server has gone.
  timeout 60 "$run" "$arch" --server "$prefix" -w
  # Linux sees the low byte of a Windows status.
  [ "$status" = $((want % 256)) ] || why="status $status, expected $want: $(tr -d '\r' <"$tmp/out" | tail -2 | tr '\n' ' ')"
  if [ "$want" = 0 ]; then
    case $line in
      "msiexec /i "*)
        installed='C:\Program Files\DORVANE'
        [[ $line =~ INSTALLDIR=([^\ \"]+) ]] && installed=${BASH_REMATCH[1]}
        [ -f "$(unix_folder "$installed")/dorvane.exe" ] || why=$(why_not "$why" "no dorvane.exe in $installed")
        ;;
      "msiexec /x "*)
        [ -z "$installed" ] || [ ! -e "$(unix_folder "$installed")" ] || why=$(why_not "$why" "$installed is still there")
        installed=""
        ;;
      "reg query "*)
        grep -qiF -- "$installed" "$tmp/out" || why=$(why_not "$why" "does not print $installed")
        ;;
    esac
  fi
  record "$label: $line" "$why"
}

bash "$src/tests/wine/prefix.sh" copy "$arch" "$wine_dir" docs-commands

# README.txt's msiexec lines, in order, each up to the two spaces before its comment.
lines=0
while IFS= read -r line; do
  lines=$((lines + 1))
  cmd_line "${line%%  *}" 0 "README.txt"
done < <(tr -d '\r' <"$guide" | sed -n 's/^  \(msiexec .*\)$/\1/p')
[ "$lines" -ge 3 ] || record "README.txt's msiexec lines" "only $lines found"
[ -z "$installed" ] || cmd_line "msiexec /x $product_code /qn" 0 "cleaning up"

# LABEL LINE...: a block that checks one download by osslsigncode, on the CA-signed copy:
# with the publisher's CRLs (checked, status 0), without (not checked, status 0), and with a
# CRL that revokes the signer's certificate (status 1); never a connection to the CRL's address.
ca_block() {
  local label=$1 variant want expect status why
  shift
  for variant in crls:0:'Signature CRL verification: ok' nocrl:0:'CRL online verification disabled' \
    revoked:1:'certificate revoked'; do
    IFS=: read -r variant want expect <<<"$variant"
    printf '%s\n' "$@" | sed "s/<version>/$version/g; s/\bHEX\b/$ca_leaf_sha256/g; s|\bANCHORS/|$tmp/ca-$variant/|g" \
      >"$tmp/ca-block.sh"
    (cd "$tmp/ca-release" && timeout 120 bash -euo pipefail "$tmp/ca-block.sh") </dev/null >"$tmp/out" 2>&1
    status=$?
    why=""
    [ "$status" = "$want" ] || why="status $status, expected $want: $(grep -iE 'error|failed' "$tmp/out" | head -2 | tr '\n' ' ')"
    grep -qF -- "$expect" "$tmp/out" || why=$(why_not "$why" "no '$expect'")
    ! grep -q '^Connecting to' "$tmp/out" || why=$(why_not "$why" "it connected: $(grep -m1 '^Connecting to' "$tmp/out")")
    record "$label, on a CA's customer's release (CRL distribution points, private timestamps), $variant" "$why"
  done
}

# PAGE: the page's marked blocks, in the page's order.
run_page() {
  local page=$1 name ran=0 skipped=0 number=0 marker="" inside="" block=() line block_marker="" block_line=0
  name=$(basename "$page")
  while IFS= read -r line; do
    number=$((number + 1))
    if [ -n "$inside" ]; then
      if [[ $line == '```'* ]]; then
        inside=""
        case $block_marker in
          sh)
            printf '%s\n' "${block[@]}" |
              sed "s/<version>/$version/g; s/\bHEX\b/$leaf_sha256/g; s|\bDIR\b|$tmp/download|g; s|\bANCHORS/|$tmp/anchors/|g" \
                >"$tmp/block.sh"
            why=""
            (cd "$tmp/release" && PATH=$tmp/bin:$PATH timeout 120 bash -euo pipefail "$tmp/block.sh") </dev/null \
              >"$tmp/out" 2>&1 ||
              why="status $?: $({ grep '^FAIL' "$tmp/out" || tail -3 "$tmp/out"; } | head -3 | tr '\n' ' ')"
            record "$name line $block_line (sh): $(head -c 60 "$tmp/block.sh" | head -1)..." "$why"
            ran=$((ran + 1))
            if grep -q 'osslsigncode verify' "$tmp/block.sh" && [ -n "${ca_leaf_sha256-}" ]; then
              ca_block "$name line $block_line" "${block[@]}"
            fi
            ;;
          cmd | "cmd status="[0-9]*)
            want=0
            [ "$block_marker" = cmd ] || want=${block_marker#cmd status=}
            for command in "${block[@]}"; do
              command=${command//<version>/$version}
              command=${command//\{ProductCode\}/$product_code}
              [ -z "$command" ] || cmd_line "$command" "$want" "$name line $block_line"
            done
            ran=$((ran + 1))
            ;;
          "not run ("*")")
            skipped=$((skipped + 1))
            echo "not run: $name line $block_line, ${block_marker#not run }"
            ;;
          "")
            record "$name line $block_line: a command block says whether docs.commands runs it" \
              "no <!-- docs.commands: ... --> marker on the line before it"
            ;;
          *)
            record "$name line $block_line: a command block says whether docs.commands runs it" \
              "'$block_marker' is not sh, cmd, cmd status=N or not run (WHY)"
            ;;
        esac
      else
        block+=("$line")
      fi
      continue
    fi
    if [[ $line == '```'* ]]; then
      inside=1 block=() block_marker=$marker block_line=$number
    fi
    marker=""
    [[ $line =~ ^'<!-- docs.commands: '(.*)' -->'$ ]] && marker=${BASH_REMATCH[1]}
  done <"$page"
  why=""
  [ "$ran" -ge 1 ] || why="none"
  record "$name: $ran blocks run, $skipped marked not run" "$why"
}
run_page "$page"
run_page "$src/docs/checking.md"

finish
