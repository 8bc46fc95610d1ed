# shellcheck shell=bash disable=SC2154 # (tmp, and the fixture's names, are the sourcing script's)
# What a publisher meets in scripts/release.sh and release/sign.sh besides a build: the
# refusals before building, what a run prints and keeps, what a killed run leaves; all on
# copies. Sourced after tests/checks.sh and signing_checks.sh. publish_rows SOURCE_DIR
# BUILD_DIR RELEASE_DIR [CERT]: BUILD_DIR's windows-x64 tree as release.sh configured, signed
# (CERT, by default its signing.json's) and packaged it into RELEASE_DIR; the file key
# $tmp/key.pem and its $tmp/cert.pem as signing_inputs (release_test.sh) made them. Needs
# the windows-x64 group's packages.

# The sources committed in $rows/src (release.sh releases a commit), a TMPDIR in $rows/tmpdir.
publish_sources() {  # SOURCE_DIR
  mkdir -p "$rows/tmpdir"
  copy_sources "$1" "$rows/src"
  git -C "$rows/src" init -q && git -C "$rows/src" add -A &&
    git -C "$rows/src" -c user.name=t -c user.email=t@t commit -q -m "the sources as they are"
}

# release.sh (--no-build unless other arguments are given) over the build root ROOT, from
# $rows/src, run by the command in $wrapper (faketime) if any: its output in $rows/out, its
# status in $released.
publish_release() {  # ROOT [RELEASE_ARGUMENT...]
  local arguments=("${@:2}")
  [ $# -gt 1 ] || arguments=(--no-build)
  (cd "$rows" && TMPDIR=$rows/tmpdir timeout 300 "${wrapper[@]}" "$rows/src/scripts/release.sh" \
    --build-root "$1" --presets windows-x64 "${arguments[@]}") >"$rows/out" 2>&1
  released=$?
}
status_why() {  # WANT: why, unless the last publish_release ended with WANT
  [ "$released" = "$1" ] || echo "status $released: $(tail -3 "$rows/out" | tr '\n' ' ')"
}

# ROOT/windows-x64: what --no-build reads of the built tree $from, to be signed with $cert.
publish_tree() {  # ROOT
  mkdir -p "$1/windows-x64"
  cp -a "$from/project.json" "$from/CMakeCache.txt" "$from/package" "$1/windows-x64/"
  jq --arg certs "$cert" '.certs = $certs' "$from/signing.json" >"$1/windows-x64/signing.json"
}

# OUT READY COMMAND...: COMMAND run in $rows with a TMPDIR of its own, killed by its pid
# alone (TERM), as a job's timeout kills, once READY (eval'd) succeeds; $why unless it ended
# at once, with 143, leaving nothing in TMPDIR.
killed() {
  local started status left pid
  rm -rf "$rows/tmpdir" && mkdir "$rows/tmpdir"
  (cd "$rows" && TMPDIR=$rows/tmpdir exec "${@:3}") >"$1" 2>&1 &
  pid=$!
  for _ in $(seq 200); do eval "$2" && break; sleep 0.05; done
  started=$SECONDS
  kill -TERM "$pid" 2>/dev/null
  wait "$pid"
  status=$?
  left=$(find "$rows/tmpdir" -mindepth 1 -maxdepth 1 -printf '%P ')
  why=""
  [ "$status" = 143 ] || why="status $status: $(tail -1 "$1")"
  [ $((SECONDS - started)) -le 5 ] || why=$(why_not "$why" "it took $((SECONDS - started)) s to end")
  [ -z "$left" ] || why=$(why_not "$why" "TMPDIR holds $left")
}

publish_rows() {
  local source_dir=$1 release_dir=$3 from=$2/windows-x64 why status cert name said printed subject now end_epoch kept sets=() before
  wrapper=() rows=$tmp/publish-rows
  publish_sources "$source_dir" || { record "publish rows: a committed copy of the sources" "git failed"; return; }
  cert=${4:-$(jq -r .certs "$from/signing.json")}
  name=$(jq -r .version "$from/project.json")-win64

  /usr/bin/python3 -I "$source_dir/release/pack_verifier.py" "$source_dir" "$rows/packed" >/dev/null 2>&1
  why=""
  cmp -s "$release_dir.verify-release" "$rows/packed" ||
    why="$(basename "$release_dir").verify-release is not the file the host build's verify-release target makes"
  [ -x "$release_dir.verify-release" ] || why=$(why_not "$why" "it is not executable")
  record "release.sh: the verifier's one file beside the release, as the host build makes it" "$why"

  publish_tree "$rows/root"
  publish_release "$rows/root"
  said=$rows/first.out
  cp "$rows/out" "$said"
  why=$(status_why 0)
  printed=$(sed -En 's/^  the verifier, one file .*: .*\.verify-release, SHA-256 ([0-9a-f]{64})$/\1/p' "$said")
  [ -n "$printed" ] && [ "$printed" = "$(sha256sum <"$rows/root/release/$name.verify-release" | cut -c1-64)" ] ||
    why=$(why_not "$why" "no line naming the verifier and its SHA-256, the file's")
  grep -q '^publish apart\|^not a release: .*checked with:$' "$said" || why=$(why_not "$why" "no anchors printed")
  record "release.sh --no-build: prints the verifier's SHA-256 among the anchors, the file's own" "$why"

  # One spelling of a subject: certificate.py's (release.sh's line, which release_checks in
  # signing_checks.sh holds to OpenSSL's RFC 2253 form), OpenSSL's in UTF-8, and what the
  # verifier matches --identity against.
  rfc2253() { openssl x509 -noout -subject -nameopt RFC2253,-esc_msb -in "$1" | sed 's/^subject=//'; }
  # (A subject of a public CA's kind, an EV one's: an organisation with a comma and umlauts,
  # and the attributes that only OpenSSL's names spell as it does.)
  openssl req -x509 -newkey rsa:2048 -nodes -days 400 -utf8 -addext extendedKeyUsage=codeSigning \
    -subj "/jurisdictionC=DE/businessCategory=Private Organization/serialNumber=HRB 12345/C=DE/O=Zählwerk, Söhne GmbH/CN=Zählwerk, Söhne GmbH" \
    -keyout "$rows/umlaut-key.pem" -out "$rows/umlaut.pem" 2>/dev/null
  jq -n --arg certs "$rows/umlaut.pem" --arg key "$rows/umlaut-key.pem" '{source: "pem", $certs, $key, pkcs12: ""}' >"$rows/umlaut.json"
  subject=$(/usr/bin/python3 "$source_dir/release/certificate.py" t "$rows/umlaut.json" </dev/null | jq -r .subject)
  why=""
  [ "$subject" = 'CN=Zählwerk\, Söhne GmbH,O=Zählwerk\, Söhne GmbH,C=DE,serialNumber=HRB 12345,businessCategory=Private Organization,jurisdictionC=DE' ] ||
    why="release.sh would print '$subject'"
  [ "$subject" = "$(rfc2253 "$rows/umlaut.pem")" ] || why=$(why_not "$why" "openssl -nameopt RFC2253,-esc_msb prints another")
  /usr/bin/python3 -c 'import sys; sys.path.insert(0, sys.argv[1]); from verify import names; from asn1crypto import pem, x509
sys.exit(names.parse(sys.argv[3]) != names.of_certificate(x509.Certificate.load(pem.unarmor(open(sys.argv[2], "rb").read())[2]).subject))' \
    "$source_dir/release" "$rows/umlaut.pem" "$subject" ||
    why=$(why_not "$why" "the verifier's --identity does not match it")
  record "one spelling of an EV subject with a comma and umlauts: release.sh's, openssl's and the verifier's" "$why"

  # A certificate within 30 days of its end releases, saying so in one line a log scan finds;
  # further off, no such line.
  end_epoch=$(date -d "$(openssl x509 -noout -enddate -in "$cert" | sed 's/^notAfter=//')" +%s)
  now=$(date +%s)
  rm -rf "$rows/root/release"
  wrapper=(faketime -f "+$((end_epoch - now - 3 * 86400 - 3600))s")
  publish_release "$rows/root"
  wrapper=()
  why=$(status_why 0)
  grep -qE "^warning: the signing certificate expires in 3 days, on $(date -u -d "@$end_epoch" +%Y-%m-%d)" "$rows/out" ||
    why=$(why_not "$why" "no 'warning: the signing certificate expires in 3 days, on ...' line")
  [ "$(grep -c '^warning: the signing certificate expires' "$rows/out")" -le 1 ] || why=$(why_not "$why" "said more than once")
  record "release.sh: a certificate 3 days from its end still releases, with one warning line naming the days and date" "$why"
  if [ $((end_epoch - now)) -gt $((31 * 86400)) ]; then
    record "release.sh: a certificate more than 30 days from its end, no warning" \
      "$(grep -m1 '^warning: the signing certificate expires' "$said" | sed 's/^/warned: /')"
  else
    echo "not run: no warning further off (the build's certificate lives 31 days or less)"
  fi

  # Re-runs of one version keep the first set they replace and the last, not one a run: each
  # set made different, as a run with new timestamps would make it.
  rm -rf "$rows/root/release"
  publish_release "$rows/root"
  for kept in first second third; do
    echo "$kept" >"$rows/root/release/$name/SHA256SUMS"
    sets+=("$(sha256sum <"$rows/root/release/$name/SHA256SUMS" | cut -c1-12)")
    publish_release "$rows/root"
  done
  kept=$(cd "$rows/root/release" && find . -mindepth 1 -maxdepth 1 -type d -name "$name.replaced-*" -printf '%P\n' | LC_ALL=C sort | tr '\n' ' ')
  why=$(status_why 0)
  [ "$kept" = "$(printf '%s\n' "$name.replaced-${sets[0]}" "$name.replaced-${sets[2]}" | LC_ALL=C sort | tr '\n' ' ')" ] ||
    why=$(why_not "$why" "kept: ${kept:-none} (the first replaced: ${sets[0]}, the last: ${sets[2]})")
  [ ! -e "$rows/root/release/$name.replaced-${sets[1]}.release.json" ] || why=$(why_not "$why" "the second set's record is left")
  grep -q "^release.sh: .*/$name.replaced-${sets[1]}, kept when a run replaced it, is removed" "$rows/out" ||
    why=$(why_not "$why" "the last run did not say what it removed")
  record "release.sh re-run three times over one version: the first and the last set replaced are kept, the one between removed, and said" "$why"

  # A fresh clone without the records tools is refused before anything is configured.
  local started=$SECONDS
  publish_release "$rows/fresh" -DDORVANE_NODE_MODULES="$rows/no-node-modules"
  why=$(status_why 2)
  grep -q 'scripts/ensure-tools.sh records' "$rows/out" || why=$(why_not "$why" "does not name scripts/ensure-tools.sh records")
  [ ! -e "$rows/fresh/windows-x64" ] || why=$(why_not "$why" "it configured $rows/fresh/windows-x64 first")
  [ $((SECONDS - started)) -le 20 ] || why=$(why_not "$why" "it took $((SECONDS - started)) s")
  record "release.sh without the records tools: refused before configuring, naming scripts/ensure-tools.sh records" "$why"

  # A tree's project.json that is not what its configure wrote (an older DORVANE's, or made to
  # read otherwise to release.sh than to other JSON readers): refused in one line, nothing
  # made. NAME|JQ FILTER (or "second" for a second document)|THE LINE, after the tree's path.
  local row tree filter said made
  while IFS='|' read -r row filter said; do
    tree=$rows/facts-$row/windows-x64
    publish_tree "${tree%/*}"
    if [ "$filter" = second ]; then
      { cat "$from/project.json"; echo '{"version": "9.9.9"}'; } >"$tree/project.json"
    else
      jq "$filter" "$from/project.json" >"$tree/project.json"
    fi
    publish_release "${tree%/*}"
    why=$(status_why 2)
    grep -qxF "release.sh: ${said/#@/$tree}" "$rows/out" || why=$(why_not "$why" "said: $(head -2 "$rows/out" | tr '\n' ' ')")
    made=$(find "${tree%/*}" -mindepth 1 -maxdepth 1 -printf '%P ')
    [ "$made" = "windows-x64 " ] || why=$(why_not "$why" "made $made")
    record "release.sh --no-build over a project.json $row: refused, saying so" "$why"
  done <<'ROWS'
of an older DORVANE, no packages' folder|del(.package.folder)|@ was configured by an older DORVANE: configure it again
whose packages' folder is null|.package.folder = null|@ was configured by an older DORVANE: configure it again
with a NUL in a value that names a version|.winget_id = "DORVANE.DORVANE\u0000version\u00009.9.9"|@/project.json cannot be read: a key or value holds a NUL, a tab or a line end
with a dotted key that spells a nested one|. + {"package.files.msi": "x.msi"}|@/project.json cannot be read: two keys spell one path
with a second document|second|@/project.json cannot be read: not one JSON document
whose version names another folder|.version = "../x"|windows-x64's version '../x' is not a version number: configure it again
of another preset|.preset = "windows-x86"|@ is the build tree of windows-x86, not of windows-x64: configure it again
ROWS

  # Killed while a step runs (once the verifier runs, a step of its own: its process's name is
  # the file's), it leaves the release as it was.
  before=$(cd "$rows/root/release/$name" && sha256sum -- *)
  # shellcheck disable=SC2016 # (killed's pid)
  killed "$rows/killed.out" 'pgrep -P "$pid" -f verify-release >/dev/null' \
    "$rows/src/scripts/release.sh" --build-root "$rows/root" --no-build --presets windows-x64
  [ "$(cd "$rows/root/release/$name" && sha256sum -- *)" = "$before" ] || why=$(why_not "$why" "the release changed")
  record "release.sh killed (TERM) while it checks the release: ends at once, nothing left in TMPDIR" "$why"

  # sign.sh killed while a timestamp authority that never answers ($quiet) keeps it waiting.
  # (The token's module and engine, and its SO PIN, are signing_config's and new_token's.)
  # shellcheck disable=SC2034
  local module engine so_pin=so-$RANDOM$RANDOM
  token_store "$rows"
  start_authorities "$rows/tsa"
  signing_config "$rows/pem.json" pem "$tmp/cert.pem" "$tmp/key.pem" "" "" "" 30 "$quiet"
  echo 1700000000 >"$rows/epoch"
  unzip -p "$release_dir/$zip" '*/dorvane.exe' >"$rows/signed.exe"
  osslsigncode remove-signature -in "$rows/signed.exe" -out "$rows/dorvane.exe" >/dev/null 2>&1
  killed "$rows/sign.out" "sleep 3" bash "$source_dir/release/sign.sh" exe "$rows/dorvane.exe" "$rows/epoch" "$rows/pem.json"
  stop_helpers
  [ ! -e "$rows/dorvane.exe" ] || why=$(why_not "$why" "the exe it did not finish signing is still there")
  record "sign.sh killed (TERM) while a timestamp authority keeps it waiting: ends at once, nothing left in TMPDIR" "$why"

  # A token's module that loads but does not start, and a run's agent that is gone.
  local pin=pin-$RANDOM$RANDOM label=publish-rows-$RANDOM conf=$rows/softhsm2.conf
  local uri="pkcs11:token=$label;object=release;type=private"
  (umask 077 && printf '%s\n' "$pin" >"$rows/pin")
  (export SOFTHSM2_CONF=$conf && new_token "$label" release 01 &&
    token_certificate "DORVANE publish rows token" "$uri" "$rows/token-cert.pem" 400) >"$rows/token.log" 2>&1
  signing_agent=dorvane-publish-rows-no-agent signing_config "$rows/token.json" token "$rows/token-cert.pem" "$uri" "" "" "" 30
  sleep 300 &
  local alive=$! label_ environment want unwanted
  why=""
  # (No PIN and no release.sh: message_checks' "no PIN at all", in signing_checks.sh.)
  # case | environment (SOFTHSM2_CONF the token's unless given) | a line it must print | one it must not (- for none)
  while IFS='|' read -r label_ environment want unwanted; do
    read -ra environment <<<"$environment"
    ran env -u DORVANE_SIGN_PIN_FILE -u DORVANE_SIGN_PIN -u DORVANE_RELEASE_PID SOFTHSM2_CONF="$conf" "${environment[@]}" \
      bash "$source_dir/release/sign.sh" check "$rows/token.json" </dev/null
    grep -qE -- "$want" <<<"$said" || why="status $status: ${said##*$'\n'}"
    [ "$unwanted" = - ] || none "it says: " grep -m1 -E -- "$unwanted" <<<"$said"
    tally "sign.sh check, $label_"
  done <<ROWS
the token signs (the control)|DORVANE_SIGN_PIN_FILE=$rows/pin|^sign.sh: .* signs, with the certificate of|could not
SOFTHSM2_CONF naming no file|SOFTHSM2_CONF=$rows/nowhere/softhsm2.conf DORVANE_SIGN_PIN_FILE=$rows/pin|^sign.sh: the token's configuration is missing .*C_Initialize failed.*SOFTHSM2_CONF names '$rows/nowhere/softhsm2.conf'|could not load the shared library
a step of a release.sh run that has ended|DORVANE_RELEASE_PID=999999999|^sign.sh: the release.sh run \\(pid 999999999\\) that held the pin has ended|set DORVANE_SIGN_PIN_FILE
a step of a release.sh run given no PIN|DORVANE_RELEASE_PID=$alive|^sign.sh: release.sh \\(pid $alive\\) was given no pin to hand to this step: set DORVANE_SIGN_PIN_FILE .* for release.sh|-
ROWS
  kill "$alive" 2>/dev/null && wait "$alive" 2>/dev/null

  # README.txt claims no signature it may not have: the same text in an unsigned build and in
  # one signed from a token with timestamps, claiming neither; configured (no build) from the
  # copied sources, one tree configured again per row (case | signing options).
  local guide=$rows/guide/release/README.txt first="" options text
  while IFS='|' read -r label_ options; do
    read -ra options <<<"$options"
    cmake -S "$rows/src" -B "$rows/guide" -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel -DCMAKE_TOOLCHAIN_FILE="$rows/src/cmake/mingw-x86_64.cmake" \
      -DDORVANE_BUILD_TESTS=OFF -U 'DORVANE_SIGN_*' "${options[@]}" </dev/null >"$rows/guide.log" 2>&1 ||
      why="configure failed: $(grep -m1 -i error "$rows/guide.log")"
    [ -n "$first" ] || { first=$rows/guide-first.txt; cp "$guide" "$first" 2>/dev/null; }
    cmp -s "$first" "$guide" || why=$(why_not "$why" "its README.txt differs from the unsigned build's")
    text=$(tr -d '\r' <"$guide" | tr -s ' \n' '  ')
    never "it claims how this build is signed" grep -qE 'never leaves|carry (a|no) timestamp|is not signed' <<<"$text"
    must "its Task Scheduler part does not list 0x0, 0x1 and 0x2" \
      grep -qE '"Last Run Result" shows dorvane.s exit status .*0x0 .*0x1 .*0x2' <<<"$text"
    tally "README.txt of a build signed so: $label_"
  done <<ROWS
unsigned|
a token, timestamped|-DDORVANE_SIGN_PKCS11_MODULE=$module -DDORVANE_SIGN_KEY=$uri -DDORVANE_SIGN_CERT=$rows/token-cert.pem -DDORVANE_SIGN_TIMESTAMP_URL=http://127.0.0.1:9/
ROWS
  return 0
}
