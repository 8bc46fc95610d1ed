# Signing with a key that never leaves a token, timestamps from a timestamp authority of
# the test's own, and what signing leaves behind (sourced by release_test.sh, which has
# built $tmp/signed, $tmp/signed-again and $tmp/pkcs12 and defines build_copy, same, the
# records and $tmp/cert.pem). The token is SoftHSM's, in a folder of this test's own.

# The builds' temporary files go where the test can search them.
build_tmp=$tmp/build-tmp
mkdir -m 700 "$build_tmp"
watcher="" authority=""
stop_helpers() {  # ends what this file started, by its own process id
  local pid
  for pid in $watcher $authority; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  watcher="" authority=""
}
trap 'stop_helpers; rm -rf "$tmp"' EXIT

token_setup() {
  module=/usr/lib/softhsm/libsofthsm2.so
  engine=$(sed -n 's/^ENGINESDIR: "\(.*\)"$/\1/p' < <(openssl version -e))/pkcs11.so
  mkdir -m 700 "$tmp/tokens"
  export SOFTHSM2_CONF=$tmp/softhsm2.conf
  printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' "$tmp/tokens" >"$SOFTHSM2_CONF"
  # pkcs11-tool and OpenSSL read the PINs from the environment.
  so_pin=so-$RANDOM$RANDOM pin=pin-$RANDOM$RANDOM$RANDOM
  export so_pin pin
  token=dorvane-test-$RANDOM
  token_uri="pkcs11:token=$token;object=release;type=private"
  local p11=(pkcs11-tool --module "$module")
  { "${p11[@]}" --init-token --label "$token" --so-pin env:so_pin &&
    "${p11[@]}" --token-label "$token" --login --login-type so --so-pin env:so_pin --init-pin --new-pin env:pin &&
    "${p11[@]}" --token-label "$token" --pin env:pin --keypairgen --key-type rsa:2048 --label release --id 01 \
      --usage-sign; } >"$tmp/token.log" 2>&1 || { cat "$tmp/token.log"; exit 1; }
  printf 'openssl_conf = init\n[init]\nengines = engines\n[engines]\npkcs11 = pkcs11\n[pkcs11]\nengine_id = pkcs11\ndynamic_path = %s\nMODULE_PATH = %s\ninit = 0\n' \
    "$engine" "$module" >"$tmp/engine.cnf"
  OPENSSL_CONF=$tmp/engine.cnf openssl req -x509 -engine pkcs11 -keyform engine -key "$token_uri" -passin env:pin \
    -days 3650 -subj "/CN=DORVANE token signing" -addext extendedKeyUsage=codeSigning -out "$tmp/token-cert.pem" \
    >>"$tmp/token.log" 2>&1 || { cat "$tmp/token.log"; exit 1; }
  why=""
  grep -A4 '^Private Key Object' "$tmp/token.log" | grep -q 'Access: *sensitive, always sensitive, never extractable' ||
    why="the token reports: $(grep -A4 '^Private Key Object' "$tmp/token.log" | tr -s ' \n' ' ')"
  record "the token's RSA key is sensitive and never extractable" "$why"
  token_sign=(-DDORVANE_SIGN_PKCS11_MODULE="$module" -DDORVANE_SIGN_KEY="$token_uri"
              -DDORVANE_SIGN_CERT="$tmp/token-cert.pem")
}

# While the signed builds run: every program they start is traced with its arguments
# (a signer lives for milliseconds, too short to be sampled reliably), and every
# process's arguments and the builds' temporary files are sampled, for the PIN, the
# PKCS#12 password and a private key, with shell builtins only: a grep would carry the PIN
# in its own arguments.
watch_start() {
  trace=(strace -f -qq --seccomp-bpf -e trace=execve -e signal=none -s 4096 -A -o "$tmp/exec.log")
  (
    exec >"$tmp/watch.log"
    rounds=0 signers=0
    while [ ! -e "$tmp/watch.stop" ]; do
      for f in /proc/[0-9]*/cmdline; do
        mapfile -d '' argv 2>/dev/null <"$f" || continue
        line="${argv[*]}"
        [[ $line == *"$pin"* || $line == *"$password"* ]] && echo "secret in the arguments of ${argv[0]}"
        [[ ${argv[0]-} == *osslsigncode || ${argv[0]-} == *openssl ]] && signers=$((signers + 1))
      done
      for f in "$build_tmp"/* "$build_tmp"/*/*; do
        [ -f "$f" ] && read -r -N 65536 text 2>/dev/null <"$f"
        [[ -f $f && ${text-} == *"PRIVATE KEY-----"* ]] && echo "a private key in ${f#"$build_tmp"/}"
        text=""
      done
      rounds=$((rounds + 1))
      sleep 0.02
    done
    echo "rounds $rounds signers $signers"
  ) &
  watcher=$!
}
watch_stop() {
  trace=()
  touch "$tmp/watch.stop"
  wait "$watcher" 2>/dev/null
  watcher=""
}

# No private key in any file under the build trees and their temporary folder (the watch
# above saw those that were there for a moment): no PEM
# armour, no DER RSA or PKCS#8 private key, and not the file key's first prime in any form.
key_scan() {
  python3 - "$tmp/key.pem" "$@" <<'EOF'
import os, re, subprocess, sys
text = subprocess.run(['openssl', 'rsa', '-in', sys.argv[1], '-noout', '-text'], capture_output=True, text=True).stdout
digits = re.search(r'prime1:\n((?:\s+[0-9a-f:]+\n)+)', text).group(1)
prime = bytes.fromhex(''.join(digits.split()).replace(':', ''))
patterns = [
    (re.compile(rb'-----BEGIN [A-Z ]*PRIVATE KEY-----'), 'PEM private key'),
    (re.compile(rb'\x30\x82..\x02\x01\x00\x02\x82\x01\x01\x00', re.S), 'DER RSA private key'),
    (re.compile(rb'\x02\x01\x00\x30\x0d\x06\x09\x2a\x86\x48\x86\xf7\x0d\x01\x01\x01\x05\x00\x04\x82', re.S), 'DER PKCS#8 key'),
    (re.compile(re.escape(prime.lstrip(b'\0')[:32])), "the file key's prime"),
    (re.compile(re.escape(prime.lstrip(b'\0')[:32].hex().encode())), "the file key's prime in hex"),
]
for top in sys.argv[2:]:
    for folder, _, files in os.walk(top):
        for name in files:
            path = os.path.join(folder, name)
            if os.path.islink(path) or not os.path.isfile(path):
                continue
            with open(path, 'rb') as f:
                data = f.read(64 << 20)
            for pattern, what in patterns:
                if pattern.search(data):
                    print(f'{what} in {path}')
EOF
}

# A build of a copy, which has no .git: the commit comes from outside, as in build_copy.
at_commit() { "${trace[@]}" env SOURCE_DATE_EPOCH="$epoch" DORVANE_SOURCE_COMMIT="$commit" "$@"; }

token_checks() {
  local copy why
  security_checks
  refusal_checks
  # Two token-signed builds, the second under the same conditions, with the watch running.
  DORVANE_SIGN_PIN=$pin build_copy "$tmp/token" "${token_sign[@]}"
  DORVANE_SIGN_PIN=$pin build_copy "$tmp/token-again" "${token_sign[@]}"
  for f in dorvane.exe "package/$msi" "package/$zip" "${records[@]/#/package/}" \
    ${records[0]:+"package/$base.intoto.jsonl"} ${records[0]:+"package/$base.sigstore.json"}; do
    same "token-signed twice, same $f" "$tmp/token/$f" "$tmp/token-again/$f"
  done
  for f in dorvane.exe "package/$msi"; do
    why=""
    osslsigncode verify -in "$tmp/token/$f" -CAfile "$tmp/token-cert.pem" >"$tmp/verify.log" 2>&1 ||
      why="does not verify: $(tail -3 "$tmp/verify.log" | tr '\n' ' ')"
    osslsigncode verify -in "$tmp/token/$f" -CAfile "$tmp/cert.pem" >/dev/null 2>&1 &&
      why=$(why_not "$why" "verifies with the file key's certificate")
    record "token-signed $f verifies with the token's certificate only" "$why"
  done
  if [ ${#records[@]} != 0 ]; then
    check_envelope "$tmp/token/package/$base.intoto.jsonl" "$tmp/token/package/$base.provenance.json" \
      "$tmp/token-cert.pem"
    check_bundle "$tmp/token/package" "$base" "$tmp/token-cert.pem" "token-signed "
    why=""
    jq -e '.predicate.buildDefinition.resolvedDependencies | map(.name) |
      index("libengine-pkcs11-openssl") and index("osslsigncode") and index("openssl")' \
      "$tmp/token/package/$base.provenance.json" >/dev/null || why="the engine, osslsigncode or openssl is missing"
    record "the provenance names the pkcs11 engine it signed through" "$why"
  fi

  # A wrong PIN: the build fails in one line naming the token, and leaves neither a
  # half-signed file in package/ nor an unsigned exe that a later build would package.
  copy=$tmp/token-again
  rm -rf "$copy/package"
  touch "$copy/source_date_epoch.txt"
  why=""
  DORVANE_SIGN_PIN=wrong-$RANDOM at_commit cmake --build "$copy" --target package >"$tmp/wrong.log" 2>&1 && why="the build succeeded"
  [ "$(grep -c '^sign.sh:' "$tmp/wrong.log")" = 1 ] && grep '^sign.sh:' "$tmp/wrong.log" | grep -qF "token=$token;" ||
    why=$(why_not "$why" "not one line naming the token: $(grep -m2 -i 'error\|sign' "$tmp/wrong.log" | tr '\n' ' ')")
  [ -z "$(find "$copy" -path "$copy/package/dorvane-*" -o -name '*.signed')" ] ||
    why=$(why_not "$why" "left $(find "$copy" -path "$copy/package/dorvane-*" -o -name '*.signed' | head -1)")
  [ -e "$copy/dorvane.exe" ] && why=$(why_not "$why" "left an unsigned dorvane.exe")
  record "a wrong PIN: $(grep -m1 '^sign.sh:' "$tmp/wrong.log" | cut -c1-60)..." "$why"

  # Timestamps from an authority of the test's own, with a root of its own.
  local tsa=$tmp/tsa
  mkdir "$tsa"
  python3 "$here/tsa.py" "$tsa" &
  authority=$!
  for _ in $(seq 100); do [ -s "$tsa/port" ] && break; sleep 0.1; done
  [ -s "$tsa/port" ] || { echo "the test's timestamp authority did not start"; exit 1; }
  copy=$tmp/token
  rm -rf "$copy/package"
  { at_commit cmake "$copy" -DDORVANE_SIGN_TIMESTAMP_URL="http://127.0.0.1:$(cat "$tsa/port")/" &&
    DORVANE_SIGN_PIN=$pin at_commit cmake --build "$copy" --target package; } >"$tmp/stamped.log" 2>&1 ||
    { cat "$tmp/stamped.log"; exit 1; }
  cp "$copy/dorvane.exe" "$tmp/stamped-once.exe"
  # The exe once more, timestamped anew.
  touch "$copy/source_date_epoch.txt"
  DORVANE_SIGN_PIN=$pin at_commit cmake --build "$copy" --target dorvane >>"$tmp/stamped.log" 2>&1 ||
    { cat "$tmp/stamped.log"; exit 1; }
  watch_stop
  stop_helpers
  for f in "$copy/dorvane.exe" "$copy/package/$msi"; do
    why=""
    osslsigncode verify -in "$f" -CAfile "$tmp/token-cert.pem" -TSA-CAfile "$tsa/ca.pem" >"$tmp/verify.log" 2>&1 ||
      why="does not verify: $(tail -3 "$tmp/verify.log" | tr '\n' ' ')"
    grep -q '^Timestamp Server Signature verification: ok' "$tmp/verify.log" || why=$(why_not "$why" "no verifying timestamp")
    record "$(basename "$f") carries a verifying RFC 3161 timestamp" "$why"
  done
  why=""
  cmp -s "$tmp/stamped-once.exe" "$copy/dorvane.exe" && why="two timestamped signatures are the same bytes"
  for f in "$tmp/stamped-once.exe" "$copy/dorvane.exe"; do
    osslsigncode remove-signature -in "$f" -out "$tmp/unstamped.exe" >/dev/null 2>&1
    cmp -s "$tmp/unstamped.exe" "$build/dorvane.exe" || why=$(why_not "$why" "$(basename "$f") unsigned is not the unsigned build")
    rm -f "$tmp/unstamped.exe"
  done
  record "two timestamped exes differ only in their signatures ($(cat "$tsa/answers" 2>/dev/null | wc -l) answers)" "$why"

  # The verifier, on the token-signed and timestamped package: one bundle of roots serves
  # the signer's certificate and the timestamp authority's.
  mkdir "$tmp/stamped-release"
  find "$copy/package" -maxdepth 1 -name 'dorvane-*' -type f -exec cp {} "$tmp/stamped-release/" \;
  cat "$tmp/token-cert.pem" "$tsa/ca.pem" >"$tmp/bundle.pem"
  why=""
  "$src/scripts/verify-release" "$tmp/stamped-release" --ca "$tmp/bundle.pem" >"$tmp/verifier.log" 2>&1 ||
    why="status $?: $(grep -m3 FAIL "$tmp/verifier.log" | tr '\n' ' ')"
  grep -qE '^ok .*dorvane.exe: Authenticode signature by .* verifies, timestamped [0-9]{4}-' "$tmp/verifier.log" ||
    why=$(why_not "$why" "no timestamp reported for the exe")
  grep -qE '^ok .*\.msi: Authenticode signature by .* verifies, timestamped [0-9]{4}-' "$tmp/verifier.log" ||
    why=$(why_not "$why" "no timestamp reported for the MSI")
  record "scripts/verify-release --ca: the timestamped, token-signed release, with its signing times" "$why"
  [ -z "$why" ] || sed 's/^/  | /; s/passed, \([0-9]*\) failed/passed; \1 failed/' "$tmp/verifier.log" | head -40

  # What signing left behind, and where the secrets went.
  why=$(grep '^secret' "$tmp/watch.log" | sort -u | head -3 | tr '\n' ' ')
  read -r _ rounds _ signers < <(grep '^rounds' "$tmp/watch.log")
  grep -qF -f <(printf '%s\n%s\n' "$pin" "$password") "$tmp/exec.log" &&
    why=$(why_not "$why" "in the arguments of $(grep -F -f <(printf '%s\n%s\n' "$pin" "$password") "$tmp/exec.log" |
      sed -n 's/^[0-9]* execve("\([^"]*\)".*/\1/p' | sort -u | tr '\n' ' ')")
  execs=$(grep -c ' execve(' "$tmp/exec.log")
  tokens=$(grep -c 'execve("[^"]*osslsigncode", .*"-pkcs11module"' "$tmp/exec.log")
  [ "$tokens" -ge 5 ] || why=$(why_not "$why" "only $tokens osslsigncode runs on the token traced")
  record "no PIN or password in any program's arguments ($execs traced, $tokens token signings; $rounds samples, $signers seeing a signer)" "$why"
  why=""
  for copy in "$tmp"/{signed,signed-again,pkcs12,token,token-again} "$build_tmp"; do
    grep -rqF -f <(printf '%s\n%s\n' "$pin" "$password") "$copy" && why=$(why_not "$why" "in $(basename "$copy")")
  done
  record "the PIN and the password are in no file of the build trees or their TMPDIR" "$why"
  key_scan "$tmp"/{signed,signed-again,pkcs12,token,token-again} "$build_tmp" >"$tmp/keys.log"
  why=$(cat "$tmp/keys.log" <(grep '^a private key' "$tmp/watch.log") | sort -u | head -3 | tr '\n' ' ')
  record "no private key in any file of the build trees or their TMPDIR" "$why"
}

# What configure refuses: a timestamp server it could not trust the scheme of, a PIN inside
# the key's URI (every signer's command line would carry it), a token's key with no module.
refusal_checks() {
  local name want args why n=0
  while IFS='|' read -r name want args; do
    n=$((n + 1))
    read -ra args <<<"$args"
    why=""
    SOURCE_DATE_EPOCH=$epoch cmake -S "$tmp/src" -B "$tmp/refused-$n" -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel \
      -DCMAKE_TOOLCHAIN_FILE="$tmp/src/cmake/$toolchain" -DDORVANE_BUILD_TESTS=OFF "${toolchain_cache[@]}" \
      "${args[@]}" >"$tmp/refused.log" 2>&1 && why="configured"
    grep -qF "$want" "$tmp/refused.log" || why=$(why_not "$why" "does not say '$want'")
    record "configure refuses $name" "$why"
  done <<EOT
an ftp:// timestamp server|http:// or https://|-DDORVANE_SIGN_CERT=$tmp/cert.pem -DDORVANE_SIGN_KEY=$tmp/key.pem -DDORVANE_SIGN_TIMESTAMP_URL=ftp://127.0.0.1/
a PIN in the key's URI|must not hold the token's PIN|-DDORVANE_SIGN_PKCS11_MODULE=$module -DDORVANE_SIGN_KEY=$token_uri;pin-value=1234 -DDORVANE_SIGN_CERT=$tmp/token-cert.pem
a pkcs11: key without its module|needs DORVANE_SIGN_PKCS11_MODULE|-DDORVANE_SIGN_CERT=$tmp/token-cert.pem -DDORVANE_SIGN_KEY=$token_uri
EOT
}

# SECURITY.md, project.json and the guide give the one security contact CMakeLists.txt keeps.
security_checks() {
  local contact why=""
  contact=$(sed -n 's/^set(DORVANE_SECURITY_CONTACT "\(.*\)")$/\1/p' "$src/CMakeLists.txt")
  [ -n "$contact" ] || why="CMakeLists.txt sets no DORVANE_SECURITY_CONTACT"
  grep -qF "**$contact**" "$src/SECURITY.md" || why=$(why_not "$why" "SECURITY.md does not give it")
  grep -oE '[[:alnum:]._%+-]+@[[:alnum:].-]+' "$src/SECURITY.md" | grep -vxF -- "$contact" | grep -q . &&
    why=$(why_not "$why" "SECURITY.md gives another address")
  [ "$(jq -r .security_contact "$build/project.json")" = "$contact" ] || why=$(why_not "$why" "project.json differs")
  grep -qF "$contact" "$build/release/README.txt" && grep -q 'SECURITY\.md' "$build/release/README.txt" ||
    why=$(why_not "$why" "the guide does not point to SECURITY.md and $contact")
  for part in '## Reporting a vulnerability' '## What happens then' '## Supported versions and support period' \
    '## How a fixed release is announced and signed'; do
    grep -qxF "$part" "$src/SECURITY.md" || why=$(why_not "$why" "SECURITY.md lacks '$part'")
  done
  record "SECURITY.md, project.json and the guide: CMakeLists.txt's contact $contact" "$why"
}
