# shellcheck shell=bash disable=SC2154 # (tmp, and the fixture's names, are the sourcing script's)
# What a publisher meets in scripts/release.sh and release/sign.sh besides a build: the
# refusals that come before building, what a run prints and keeps, and what a killed run
# leaves. Every row runs on copies (release.sh --no-build over copied build trees, sign.sh
# on copied files), never a build. Sourced by a release test after tests/checks.sh (record,
# why_not, copy_sources, $tmp).
#   publish_rows SOURCE_DIR BUILD_DIR RELEASE_DIR
#     SOURCE_DIR   a checkout of the sources
#     BUILD_DIR    a build root whose windows-x64 tree release.sh configured, signed and
#                  packaged (release.sh --build-root BUILD_DIR --presets windows-x64
#                  -DDORVANE_SIGN_CERT=... -DDORVANE_SIGN_KEY=..., a key file or a token's)
#     RELEASE_DIR  the release that run made (BUILD_DIR/release/<version>-win64)
#     CERT         the signer's certificate file it was signed with (by default the one
#                  the tree's signing.json names; a test that configured the tree since
#                  may have pointed it elsewhere)
# It needs faketime, softhsm2, opensc (pkcs11-tool) and libengine-pkcs11-openssl (the
# windows-x64 group) and no network.

# release.sh (--no-build unless other arguments are given) over the build root ROOT, from a
# committed copy of the sources, run by the command in $wrapper (faketime) if any; its
# output in $rows/out, its status in $rows/status.
publish_release() {  # ROOT [RELEASE_ARGUMENT...]
  local root=$1 arguments=("${@:2}")
  [ $# -gt 1 ] || arguments=(--no-build)
  (cd "$rows" && TMPDIR=$rows/tmpdir timeout 300 "${wrapper[@]}" "$rows/src/scripts/release.sh" \
    --build-root "$root" --presets windows-x64 "${arguments[@]}") >"$rows/out" 2>&1
  echo $? >"$rows/status"
}

# A copy of the build root's windows-x64 tree holding what --no-build reads.
publish_tree() {  # ROOT
  local tree=$1/windows-x64
  mkdir -p "$tree"
  cp "$build_dir/windows-x64/project.json" "$build_dir/windows-x64/CMakeCache.txt" "$tree/"
  jq --arg certs "$cert" '.certs = $certs' "$build_dir/windows-x64/signing.json" >"$tree/signing.json"
  cp -a "$build_dir/windows-x64/package" "$tree/"
}

publish_rows() {
  local source_dir=$1 release_dir=$3 why status started left
  build_dir=$2 wrapper=()
  rows=$tmp/publish-rows
  mkdir -p "$rows/tmpdir"
  copy_sources "$source_dir" "$rows/src"
  { git -C "$rows/src" init -q && git -C "$rows/src" add -A &&
    git -C "$rows/src" -c user.name=t -c user.email=t@t commit -q -m "the sources as they are"; } ||
    { record "publish rows: a committed copy of the sources" "git failed"; return; }
  local signing=$build_dir/windows-x64/signing.json
  local cert version name
  cert=${4:-$(jq -r .certs "$signing")}
  version=$(jq -r .version "$build_dir/windows-x64/project.json")
  name=$version-win64

  # The verifier's one file beside the release, the one the host build makes, its SHA-256
  # printed among what is published.
  /usr/bin/python3 -I "$source_dir/release/pack_verifier.py" "$source_dir" "$rows/packed" >/dev/null 2>&1
  why=""
  if [ ! -f "$release_dir.verify-release" ]; then
    why="no $(basename "$release_dir").verify-release beside the release"
  else
    cmp -s "$release_dir.verify-release" "$rows/packed" ||
      why="it is not the file the host build's verify-release target makes"
    [ -x "$release_dir.verify-release" ] || why=$(why_not "$why" "it is not executable")
  fi
  record "release.sh: the verifier's one file beside the release, as the host build makes it" "$why"

  publish_tree "$rows/root"
  publish_release "$rows/root"
  local said verifier_line
  said=$(cat "$rows/out")
  why=""
  [ "$(cat "$rows/status")" = 0 ] || why="status $(cat "$rows/status"): $(tail -3 "$rows/out" | tr '\n' ' ')"
  verifier_line=$(grep -E '^  the verifier, one file .*: .*\.verify-release, SHA-256 [0-9a-f]{64}$' <<<"$said")
  if [ -z "$verifier_line" ]; then
    why=$(why_not "$why" "no line naming the verifier and its SHA-256")
  elif [ "${verifier_line##* }" != "$(sha256sum <"$rows/root/release/$name.verify-release" | cut -c1-64)" ]; then
    why=$(why_not "$why" "the SHA-256 printed is not the file's")
  fi
  grep -q '^publish apart\|^not a release: .*checked with:$' <<<"$said" || why=$(why_not "$why" "no anchors printed")
  record "release.sh --no-build: prints the verifier's SHA-256 among the anchors, the file's own" "$why"

  # One spelling of the subject: release.sh's line, OpenSSL's RFC 2253 form in UTF-8, and
  # what the verifier matches --identity against.
  local subject
  subject=$(sed -n 's/^  signer (RFC 4514 subject): //p' <<<"$said")
  why=""
  [ "$subject" = "$(openssl x509 -noout -subject -nameopt RFC2253,-esc_msb -in "$cert" | sed 's/^subject=//')" ] ||
    why="release.sh prints '$subject', openssl -nameopt RFC2253,-esc_msb another"
  record "release.sh prints the signer's subject as openssl -nameopt RFC2253,-esc_msb does" "$why"
  # (A subject of a public CA's kind, an EV one's: an organisation with a comma and umlauts,
  # and the attributes that only OpenSSL's names spell as it does.)
  local ev="/jurisdictionC=DE/businessCategory=Private Organization/serialNumber=HRB 12345"
  openssl req -x509 -newkey rsa:2048 -nodes -days 400 -utf8 -subj "$ev/C=DE/O=Zählwerk, Söhne GmbH/CN=Zählwerk, Söhne GmbH" \
    -addext extendedKeyUsage=codeSigning -keyout "$rows/umlaut-key.pem" -out "$rows/umlaut.pem" 2>/dev/null
  jq -n --arg certs "$rows/umlaut.pem" --arg key "$rows/umlaut-key.pem" '{source: "pem", $certs, $key, pkcs12: ""}' \
    >"$rows/umlaut.json"
  subject=$(/usr/bin/python3 "$source_dir/release/certificate.py" t "$rows/umlaut.json" </dev/null | jq -r .subject)
  why=""
  [ "$subject" = 'CN=Zählwerk\, Söhne GmbH,O=Zählwerk\, Söhne GmbH,C=DE,serialNumber=HRB 12345,businessCategory=Private Organization,jurisdictionC=DE' ] ||
    why="release.sh would print '$subject'"
  [ "$subject" = "$(openssl x509 -noout -subject -nameopt RFC2253,-esc_msb -in "$rows/umlaut.pem" | sed 's/^subject=//')" ] ||
    why=$(why_not "$why" "openssl -nameopt RFC2253,-esc_msb prints another")
  /usr/bin/python3 -c 'import sys; sys.path.insert(0, sys.argv[1]); from verify import names
from asn1crypto import pem, x509
cert = x509.Certificate.load(pem.unarmor(open(sys.argv[2], "rb").read())[2])
sys.exit(names.parse(sys.argv[3]) != names.of_certificate(cert.subject))' "$source_dir/release" "$rows/umlaut.pem" "$subject" ||
    why=$(why_not "$why" "the verifier's --identity does not match it")
  record "one spelling of an EV subject with a comma and umlauts: release.sh's, openssl's and the verifier's" "$why"

  # A certificate within 30 days of its end: the release succeeds, saying so in a line a log
  # scan finds; further off, no such line.
  local end_epoch now
  end_epoch=$(date -d "$(openssl x509 -noout -enddate -in "$cert" | sed 's/^notAfter=//')" +%s)
  now=$(date +%s)
  rm -rf "$rows/root/release"
  wrapper=(faketime -f "+$((end_epoch - now - 3 * 86400 - 3600))s")
  publish_release "$rows/root"
  wrapper=()
  why=""
  [ "$(cat "$rows/status")" = 0 ] || why="status $(cat "$rows/status"): $(tail -3 "$rows/out" | tr '\n' ' ')"
  grep -qE "^warning: the signing certificate expires in 3 days, on $(date -u -d "@$end_epoch" +%Y-%m-%d)" "$rows/out" ||
    why=$(why_not "$why" "no 'warning: the signing certificate expires in 3 days, on ...' line")
  [ "$(grep -c '^warning: the signing certificate expires' "$rows/out")" -le 1 ] || why=$(why_not "$why" "said more than once")
  record "release.sh: a certificate 3 days from its end still releases, with one warning line naming the days and date" "$why"
  if [ $((end_epoch - now)) -gt $((31 * 86400)) ]; then
    why=""
    ! grep -q '^warning: the signing certificate expires' <<<"$said" || why="warned: $(grep '^warning: the signing' <<<"$said")"
    record "release.sh: a certificate more than 30 days from its end, no warning" "$why"
  else
    echo "not run: no warning further off (the build's certificate lives 31 days or less)"
  fi

  # Re-runs of one version keep the first set they replace and the last, not one a run.
  rm -rf "$rows/root/release"
  publish_release "$rows/root"
  local first second third kept
  plant_set() {  # MARK: the release folder made different, as a run with new timestamps would make it
    echo "$1" >"$rows/root/release/$name/SHA256SUMS"
    sha256sum <"$rows/root/release/$name/SHA256SUMS" | cut -c1-12
  }
  first=$(plant_set first)
  publish_release "$rows/root"
  second=$(plant_set second)
  publish_release "$rows/root"
  third=$(plant_set third)
  publish_release "$rows/root"
  mapfile -t kept < <(cd "$rows/root/release" && find . -mindepth 1 -maxdepth 1 -type d -name "$name.replaced-*" -printf '%P\n' | LC_ALL=C sort)
  why=""
  [ "${kept[*]}" = "$(printf '%s\n' "$name.replaced-$first" "$name.replaced-$third" | LC_ALL=C sort | tr '\n' ' ' | sed 's/ $//')" ] ||
    why="kept: ${kept[*]:-none} (the first replaced: $first, the last: $third)"
  [ ! -e "$rows/root/release/$name.replaced-$second.release.json" ] || why=$(why_not "$why" "the second set's record is left")
  grep -q "^release.sh: .*/$name.replaced-$second, kept when a run replaced it, is removed" "$rows/out" ||
    why=$(why_not "$why" "the last run did not say what it removed")
  [ "$(cat "$rows/status")" = 0 ] || why=$(why_not "$why" "status $(cat "$rows/status")")
  record "release.sh re-run three times over one version: the first and the last set replaced are kept, the one between removed, and said" "$why"

  # A fresh clone without the records tools is refused before anything is configured.
  started=$SECONDS
  publish_release "$rows/fresh" -DDORVANE_NODE_MODULES="$rows/no-node-modules"
  why=""
  [ "$(cat "$rows/status")" = 2 ] || why="status $(cat "$rows/status")"
  grep -q 'scripts/ensure-tools.sh records' "$rows/out" || why=$(why_not "$why" "does not name scripts/ensure-tools.sh records: $(tail -1 "$rows/out")")
  [ ! -e "$rows/fresh/windows-x64" ] || why=$(why_not "$why" "it configured $rows/fresh/windows-x64 first")
  [ $((SECONDS - started)) -le 20 ] || why=$(why_not "$why" "it took $((SECONDS - started)) s")
  record "release.sh without the records tools: refused before configuring, naming scripts/ensure-tools.sh records" "$why"

  # Killed by its pid alone, as a job's timeout kills, while a step runs: it ends at once and
  # leaves nothing in TMPDIR, and the release as it was.
  rm -rf "$rows/tmpdir" && mkdir "$rows/tmpdir"
  local before
  before=$(cd "$rows/root/release/$name" && sha256sum -- *)
  (cd "$rows" && TMPDIR=$rows/tmpdir exec "$rows/src/scripts/release.sh" --build-root "$rows/root" --no-build --presets windows-x64) \
    >"$rows/killed.out" 2>&1 &
  local pid=$!
  # (Once the verifier runs, a step of its own: its process's name is the file's.)
  for _ in $(seq 200); do pgrep -P "$pid" -f verify-release >/dev/null && break; sleep 0.05; done
  kill -TERM "$pid" 2>/dev/null
  started=$SECONDS
  wait "$pid"
  status=$?
  left=$(find "$rows/tmpdir" -mindepth 1 -maxdepth 1 -printf '%P ')
  why=""
  [ "$status" = 143 ] || why="status $status"
  [ $((SECONDS - started)) -le 5 ] || why=$(why_not "$why" "it took $((SECONDS - started)) s to end")
  [ -z "$left" ] || why=$(why_not "$why" "TMPDIR holds $left")
  [ "$(cd "$rows/root/release/$name" && sha256sum -- *)" = "$before" ] || why=$(why_not "$why" "the release changed")
  record "release.sh killed (TERM) while it checks the release: ends at once, nothing left in TMPDIR" "$why"

  # sign.sh killed while a timestamp authority that never answers keeps it waiting.
  openssl req -x509 -newkey rsa:2048 -nodes -days 400 -subj "/CN=DORVANE publish rows" \
    -addext extendedKeyUsage=codeSigning -keyout "$rows/key.pem" -out "$rows/cert.pem" 2>/dev/null
  /usr/bin/python3 -c 'import socket, sys
server = socket.socket(); server.bind(("127.0.0.1", 0)); server.listen(8)
open(sys.argv[1], "w").write(str(server.getsockname()[1]))
held = []
while True: held.append(server.accept()[0])' "$rows/silent.port" &
  local silent=$!
  for _ in $(seq 100); do [ -s "$rows/silent.port" ] && break; sleep 0.1; done
  jq -n --arg certs "$rows/cert.pem" --arg key "$rows/key.pem" --arg url "http://127.0.0.1:$(cat "$rows/silent.port")/" \
    '{source: "pem", $certs, $key, pkcs12: "", pkcs11_module: "", pkcs11_engine: "", osslsigncode: "/usr/bin/osslsigncode",
      timestamp_ca: "", timestamps: [$url], timestamp_timeout: 30, agent: ""}' >"$rows/pem.json"
  echo 1700000000 >"$rows/epoch"
  unzip -p "$release_dir/$zip" '*/dorvane.exe' >"$rows/signed.exe"
  osslsigncode remove-signature -in "$rows/signed.exe" -out "$rows/dorvane.exe" >/dev/null 2>&1
  rm -rf "$rows/tmpdir" && mkdir "$rows/tmpdir"
  TMPDIR=$rows/tmpdir bash "$source_dir/release/sign.sh" exe "$rows/dorvane.exe" "$rows/epoch" "$rows/pem.json" \
    >"$rows/sign.out" 2>&1 &
  pid=$!
  sleep 3
  kill -TERM "$pid" 2>/dev/null
  started=$SECONDS
  wait "$pid"
  status=$?
  kill "$silent" 2>/dev/null && wait "$silent" 2>/dev/null
  left=$(find "$rows/tmpdir" -mindepth 1 -maxdepth 1 -printf '%P ')
  why=""
  [ "$status" = 143 ] || why="status $status: $(tail -1 "$rows/sign.out")"
  [ $((SECONDS - started)) -le 5 ] || why=$(why_not "$why" "it took $((SECONDS - started)) s to end")
  [ -z "$left" ] || why=$(why_not "$why" "TMPDIR holds $left")
  [ ! -e "$rows/dorvane.exe" ] || why=$(why_not "$why" "the exe it did not finish signing is still there")
  record "sign.sh killed (TERM) while a timestamp authority keeps it waiting: ends at once, nothing left in TMPDIR" "$why"

  # A token's module that loads but does not start, and a run's agent that is gone.
  local module=/usr/lib/softhsm/libsofthsm2.so engine
  engine=$(sed -n 's/^ENGINESDIR: "\(.*\)"$/\1/p' < <(openssl version -e))/pkcs11.so
  mkdir -m 700 "$rows/tokens"
  printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' "$rows/tokens" >"$rows/softhsm2.conf"
  local pin=pin-$RANDOM$RANDOM label=publish-rows-$RANDOM
  (umask 077 && printf '%s\n' "$pin" >"$rows/pin")
  { SOFTHSM2_CONF=$rows/softhsm2.conf softhsm2-util --init-token --free --label "$label" --pin "$pin" --so-pin "so-$pin" &&
    SOFTHSM2_CONF=$rows/softhsm2.conf pin=$pin pkcs11-tool --module "$module" --token-label "$label" --pin env:pin \
      --keypairgen --key-type rsa:2048 --label release --id 01 --usage-sign; } >"$rows/token.log" 2>&1
  printf 'openssl_conf = init\n[init]\nengines = engines\n[engines]\npkcs11 = pkcs11\n[pkcs11]\nengine_id = pkcs11\ndynamic_path = %s\nMODULE_PATH = %s\ninit = 0\n' \
    "$engine" "$module" >"$rows/engine.cnf"
  local uri="pkcs11:token=$label;object=release;type=private"
  SOFTHSM2_CONF=$rows/softhsm2.conf pin=$pin OPENSSL_CONF=$rows/engine.cnf openssl req -x509 -engine pkcs11 \
    -keyform engine -key "$uri" -passin env:pin -days 400 -subj "/CN=DORVANE publish rows token" \
    -addext extendedKeyUsage=codeSigning -out "$rows/token-cert.pem" >>"$rows/token.log" 2>&1
  jq -n --arg certs "$rows/token-cert.pem" --arg key "$uri" --arg mod "$module" --arg engine "$engine" \
    '{source: "token", $certs, $key, pkcs12: "", pkcs11_module: $mod, pkcs11_engine: $engine,
      osslsigncode: "/usr/bin/osslsigncode", timestamp_ca: "", timestamps: [], timestamp_timeout: 30,
      agent: "dorvane-publish-rows-no-agent"}' >"$rows/token.json"
  sleep 300 &
  local alive=$!
  # case | environment | a line it must print | one it must not (- for none)
  local token_cases=(
    "the token signs (the control)|SOFTHSM2_CONF=$rows/softhsm2.conf DORVANE_SIGN_PIN_FILE=$rows/pin|^sign.sh: .* signs, with the certificate of|could not"
    "SOFTHSM2_CONF naming no file|SOFTHSM2_CONF=$rows/nowhere/softhsm2.conf DORVANE_SIGN_PIN_FILE=$rows/pin|^sign.sh: the token's configuration is missing .*C_Initialize failed.*SOFTHSM2_CONF names '$rows/nowhere/softhsm2.conf'|could not load the shared library"
    "a step of a release.sh run that has ended|SOFTHSM2_CONF=$rows/softhsm2.conf DORVANE_RELEASE_PID=999999999|^sign.sh: the release.sh run \\(pid 999999999\\) that held the pin has ended|set DORVANE_SIGN_PIN_FILE"
    "a step of a release.sh run given no PIN|SOFTHSM2_CONF=$rows/softhsm2.conf DORVANE_RELEASE_PID=$alive|^sign.sh: release.sh \\(pid $alive\\) was given no pin to hand to this step: set DORVANE_SIGN_PIN_FILE .* for release.sh|-"
    "no PIN, no release.sh|SOFTHSM2_CONF=$rows/softhsm2.conf|^sign.sh: set DORVANE_SIGN_PIN_FILE \\(or DORVANE_SIGN_PIN\\) to the PIN|-"
  )
  local row label_ environment_ want unwanted
  for row in "${token_cases[@]}"; do
    IFS='|' read -r label_ environment_ want unwanted <<<"$row"
    read -ra environment_ <<<"$environment_"
    env -u DORVANE_SIGN_PIN_FILE -u DORVANE_SIGN_PIN -u DORVANE_RELEASE_PID "${environment_[@]}" \
      bash "$source_dir/release/sign.sh" check "$rows/token.json" >"$rows/check.out" 2>&1
    status=$?
    why=""
    grep -qE -- "$want" "$rows/check.out" || why="status $status: $(tail -1 "$rows/check.out")"
    [ "$unwanted" = - ] || ! grep -qE -- "$unwanted" "$rows/check.out" || why=$(why_not "$why" "it says '$(grep -E -- "$unwanted" "$rows/check.out" | head -1)'")
    record "sign.sh check, $label_" "$why"
  done
  kill "$alive" 2>/dev/null && wait "$alive" 2>/dev/null

  # README.txt claims no signature it may not have: the same text in an unsigned build and
  # in one signed from a token with timestamps, claiming neither; configured (no build) from
  # the copied sources, one tree configured again per row.
  # case | signing options
  local toolchain=$rows/src/cmake/mingw-x86_64.cmake guide=$rows/guide/release/README.txt
  local guide_cases=(
    "unsigned|"
    "a token, timestamped|-DDORVANE_SIGN_PKCS11_MODULE=$module -DDORVANE_SIGN_KEY=$uri -DDORVANE_SIGN_CERT=$rows/token-cert.pem -DDORVANE_SIGN_TIMESTAMP_URL=http://127.0.0.1:9/"
  )
  local options first=""
  for row in "${guide_cases[@]}"; do
    IFS='|' read -r label_ options <<<"$row"
    read -ra options <<<"$options"
    cmake -S "$rows/src" -B "$rows/guide" -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
      -DDORVANE_BUILD_TESTS=OFF -U 'DORVANE_SIGN_*' "${options[@]}" >"$rows/guide.log" 2>&1
    status=$?
    why=""
    [ "$status" = 0 ] || why="configure failed: $(grep -m1 -i error "$rows/guide.log")"
    [ -n "$first" ] || { first=$rows/guide-first.txt; cp "$guide" "$first" 2>/dev/null; }
    cmp -s "$first" "$guide" || why=$(why_not "$why" "its README.txt differs from the unsigned build's")
    tr -d '\r' <"$guide" | tr -s ' \n' '  ' | grep -qE 'never leaves|carry (a|no) timestamp|is not signed' &&
      why=$(why_not "$why" "it claims how this build is signed")
    tr -d '\r' <"$guide" | tr -s ' \n' '  ' | grep -qE '"Last Run Result" shows dorvane.s exit status .*0x0 .*0x1 .*0x2' ||
      why=$(why_not "$why" "its Task Scheduler part does not list 0x0, 0x1 and 0x2")
    record "README.txt of a build signed so: $label_" "$why"
  done
  return 0
}
