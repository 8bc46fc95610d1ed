#!/usr/bin/env bash
# Signs what a release ships with the release key: an exe or an MSI in place with
# Authenticode (SHA-256, osslsigncode), or the provenance as a DSSE envelope (RSA PKCS#1
# v1.5 with SHA-256, OpenSSL), written also as a Sigstore bundle for Sigstore's verifiers.
# What signs, and with what, is the build's signing configuration (CONFIG, the signing.json
# cmake/signing.cmake writes): a key file and its certificate, a PKCS#12 file, or a key on a
# token with its certificate chain; RFC 3161 authorities to try in turn, each bounded.
# The secrets: a token's PIN from the file DORVANE_SIGN_PIN_FILE names (mode 600, or a pipe),
# else DORVANE_SIGN_PIN; a PKCS#12 password from DORVANE_SIGN_PASSWORD; else from the agent
# scripts/release.sh runs for its builds (release/secret.py). They are taken out of this
# script's environment before it starts any program, and reach the signers through a pipe
# from a shell builtin, never a command line or another program's environment; no key is
# ever written out: a PKCS#12 key goes from openssl's output straight into the signer's
# input, and a token's key never leaves the token.
# Before anything is signed the certificate must be valid now, for code signing, and (for a
# key file) that of the key (release/certificate.py). "check" does that, and, given ROOTS,
# checks the chain up to them (else the certificate must be its own root), and signs once with the key, which logs in to a token once:
# a wrong PIN stops there.
# usage: sign.sh exe|msi FILE EPOCH_FILE CONFIG
#        sign.sh envelope PROVENANCE OUT.intoto.jsonl OUT.sigstore.json NODE RECORDS_MJS CONFIG
#        sign.sh check CONFIG [ROOTS]
set -euo pipefail
# The secrets first, out of the environment of every program started from here on.
pin_file=${DORVANE_SIGN_PIN_FILE-} pin_given=${DORVANE_SIGN_PIN+set} pin=${DORVANE_SIGN_PIN-}
password_given=${DORVANE_SIGN_PASSWORD+set} password=${DORVANE_SIGN_PASSWORD-}
unset DORVANE_SIGN_PIN_FILE DORVANE_SIGN_PIN DORVANE_SIGN_PASSWORD
usage() {
  echo "usage: sign.sh exe|msi FILE EPOCH_FILE CONFIG | envelope PROVENANCE OUT BUNDLE NODE RECORDS_MJS CONFIG" \
    "| check CONFIG [ROOTS]" >&2
  exit 2
}
kind=${1-} roots=""
case $kind in
  exe | msi) [ $# = 4 ] || usage; file=$2 epoch=$(<"$3") config=$4 ;;
  envelope) [ $# = 7 ] || usage; provenance=$2 out=$3 bundle=$4 node=$5 records=$6 config=$7 ;;
  check) [ $# = 2 ] || [ $# = 3 ] || usage; config=$2 roots=${3-} ;;
  *) usage ;;
esac
here=$(cd "$(dirname "$0")" && pwd)
python=/usr/bin/python3

# Whatever happens, no half-signed file is left where a package step could take it, and an
# exe that did not get its signature (or its timestamp) does not stay to be packaged by a
# later build: removing it makes the next build link and sign it again. A killed step
# leaves no folder of its own either.
work="" child=""
finish() {
  local status=$?
  if [ -n "$child" ]; then
    pkill -TERM -P "$child" 2>/dev/null || true
    kill -TERM "$child" 2>/dev/null || true
    wait "$child" 2>/dev/null || true
  fi
  [ -z "$work" ] || rm -rf "$work"
  if [ -n "${file-}" ]; then
    rm -f "$file.signed" "$file.stamped"
    [ "$status" = 0 ] || [ "$kind" != exe ] || rm -f "$file"
  fi
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP
work=$(mktemp -d)
# (What the tools leave in TMPDIR when killed goes with this folder.)
mkdir "$work/tmp"
export TMPDIR=$work/tmp
# The timestamp authorities may take their whole bound each: waited for in the background,
# so that a signal to this step (bash runs a trap only once the command in the foreground
# has ended) stops it at once; in this step's process group, which Ctrl-C reaches.
step() {
  local status=0
  "$@" &
  child=$!
  wait "$child" || status=$?
  child=""
  return "$status"
}
fail() { echo "sign.sh: $*" >&2; exit 1; }

[ -f "$config" ] || fail "no signing configuration '$config'"
# The settings in one reading (each run of jq costs more than all the rest of this), as jq
# streams them, so that a key given twice is seen (each member of the object ends in one
# event of the stream, a value at depth 1 or the closing of one at depth 2): each a string
# (the timeout may be a number) ended by a NUL, which none may hold, nor U+FFFD, jq's
# stand-in for bytes that are not UTF-8, nor a control character (a path goes into
# OpenSSL's configuration); the timeout whole seconds; then the timestamp authorities' URLs:
# an ASCII host name or [IPv6] and a port that the HTTP client takes, printable ASCII after
# it (no option of timestamp.py's; a user and password are refused below, by name). One
# object, or nothing is read.
settings=()
[ "$(stat -L -c %s -- "$config")" -le 65536 ] || fail "the build's signing configuration '$config' is over 64 KiB: configure again"
# (A refusal halts jq with nothing said: sign.sh says why, in one line.)
mapfile -d '' -t settings < <(jq -nj --stream --args 'def refuse: "" | halt_error(5);
  def text: if type == "string" and (explode | all(. >= 32 and . != 127 and (. < 128 or . > 159) and . != 65533))
    then . else refuse end;
  [inputs] as $events
  | [$events[] | select(if length == 2 then .[0] | length == 1 else .[0] | length == 2 end) | .[0][0]]
  | if length != (unique | length) then refuse else [$events | fromstream(.[])] end
  | if length != 1 or (.[0] | type) != "object" then refuse else .[0] end
  | [($ARGS.positional[] as $name | if has($name) then .[$name] else "" end
       | if $name == "timestamp_timeout" then tostring | if test("^[0-9]{0,4}$") then . else refuse end
         else text end),
     (.timestamps // [] | if type == "array" then .[] else refuse end
      | text | if test("^https?://([^/?#@]*@)?([A-Za-z0-9.-]+|\\[[0-9A-Fa-f:.]+\\])(:([1-9][0-9]{0,3}|[1-5][0-9]{4}|6[0-4][0-9]{3}|65[0-4][0-9]{2}|655[0-2][0-9]|6553[0-5]))?([/?#][!-~]*)?$")
        then . else refuse end)]
  | map(. + "\u0000") | add' \
  source certs key pkcs12 pkcs11_module pkcs11_engine osslsigncode timestamp_ca timestamp_timeout agent <"$config")
wait $! || fail "the build's signing configuration '$config' is not one JSON object of settings, each text" \
  "(UTF-8, no control character) given once, its timestamp authorities a list of http:// or https:// URLs: configure again"
source=${settings[0]-} certs=${settings[1]-} key=${settings[2]-} p12=${settings[3]-}
module=${settings[4]-} engine=${settings[5]-} osslsigncode=${settings[6]-}
tsa_ca=${settings[7]-} bound=${settings[8]-} agent=${settings[9]-}
timestamps=("${settings[@]:10}")
[ -n "$source" ] || fail "the build's signing configuration '$config' signs nothing"
# (Configure refuses an authority's user and password; a configuration written otherwise
# would put them on timestamp.py's command line.)
userinfo='://[^/?#]*@'
for url in "${timestamps[@]}"; do
  [[ ! $url =~ $userinfo ]] ||
    fail "a timestamp authority's URL in '$config' holds a user or password, which is not supported: configure again"
done

# A secret: the file (or pipe) given, else the variable given, else release.sh's agent.
secret=""
agent_secret() {  # pin|password
  local status=0
  secret=$("$python" "$here/secret.py" sign.sh ask "$agent" "$1") || status=$?
  # (5: the agent refused this step, and secret.py said why)
  [ $status != 5 ] || exit 1
  return $status
}
# A step of a release.sh run (DORVANE_RELEASE_PID) whose agent is not there or holds nothing
# of that kind was given the secret through release.sh: telling it to set the variable
# would be wrong. Else status 1, and the caller says what to set.
agent_gone() {  # pin|password
  local run=${DORVANE_RELEASE_PID-}
  [[ $run =~ ^[0-9]+$ ]] || return 1
  if kill -0 "$run" 2>/dev/null; then
    local what="DORVANE_SIGN_PIN_FILE (or DORVANE_SIGN_PIN)"
    [ "$1" = pin ] || what=DORVANE_SIGN_PASSWORD
    fail "release.sh (pid $run) was given no $1 to hand to this step: set $what for release.sh"
  fi
  fail "the release.sh run (pid $run) that held the $1 has ended, and with it its signing agent:" \
    "nothing more is signed in this build; run release.sh again"
}
case $source in
  token)
    # A PIN inside the URI would be on every signer's command line.
    [[ $key != *pin-value=* && $key != *pin-source=* ]] || fail "the key's URI must not hold the PIN: set DORVANE_SIGN_PIN_FILE"
    if [ -n "$pin_file$pin_given" ]; then
      secret=$(printf %s "$pin" | "$python" "$here/secret.py" sign.sh pin "$pin_file") || exit 1
    else
      agent_secret pin || agent_gone pin ||
        fail "set DORVANE_SIGN_PIN_FILE (or DORVANE_SIGN_PIN) to the PIN of the token holding '$key'"
    fi
    signer="the key '$key' on its token (PKCS#11 module '$module')" ;;
  pkcs12)
    if [ -n "$password_given" ]; then
      secret=$password
    else
      agent_secret password || agent_gone password || fail "set DORVANE_SIGN_PASSWORD to the password of '$p12'"
    fi
    signer="the key in '$p12'" ;;
  pem) signer="the key '$key'" ;;
  *) fail "unknown key source '$source' in '$config'" ;;
esac
pin="" password=""

# The reason OpenSSL gives (PIN incorrect, ...), else the tool's last line.
reason() {
  local why
  why=$(sed -n 's/^.*:error:[^:]*:[^:]*:[^:]*:\([^:]*\):.*$/\1/p' <<<"$1" | head -1)
  [ -n "$why" ] || why=$(grep -v '^\s*$' <<<"$1" | tail -1)
  echo "$why"
}
# The URI's attribute NAME, percent-decoded.
uri_attribute() {  # NAME
  local value
  [[ $key =~ [:\;]$1=([^\;?]*) ]] || return 0
  value=${BASH_REMATCH[1]}
  printf '%b' "${value//%/\\x}"
}
# Why a signing failed, in words that say what to fix.
signing_failed() {  # WHAT LOG
  local label labels
  case $2 in
    *"key values mismatch"*) fail "the certificate '$certs' is not that of $signer: give the certificate of this key" ;;
    *"Failed to read password"*) fail "no PIN reached the signer of $1" ;;
  esac
  # The engine says "could not load the shared library" for a module that loads but does
  # not start (C_Initialize fails: SoftHSM without the configuration SOFTHSM2_CONF names,
  # say): asked directly, the module tells.
  if [ "$source" = token ] && [ -f "$module" ] && ! labels=$(pkcs11-tool --module "$module" --list-token-slots 2>&1) &&
    [[ $labels == *C_Initialize* ]]; then
    local conf=""
    if [ -n "${SOFTHSM2_CONF+1}" ] && ! { [ -f "$SOFTHSM2_CONF" ] && [ -r "$SOFTHSM2_CONF" ]; }; then
      conf=": SOFTHSM2_CONF names '$SOFTHSM2_CONF', which is no file it can read"
    fi
    fail "the token's configuration is missing or wrong: its PKCS#11 module '$module' loads but does not start" \
      "(C_Initialize failed)${conf:-; for SoftHSM, export SOFTHSM2_CONF naming its configuration file}"
  fi
  # The engine says "object not found" both for a token that is not there and for a key that
  # is not on it: the module's list of tokens tells which.
  if [ "$source" = token ] && [[ $2 == *"object not found"* ]]; then
    label=$(uri_attribute token)
    if labels=$(pkcs11-tool --module "$module" --list-token-slots 2>/dev/null); then
      sed -n 's/^ *token label *: //p' <<<"$labels" | sed 's/ *$//' | grep -qxF -- "$label" ||
        fail "no token labelled '$label' is present (PKCS#11 module '$module'): plug it in, or correct token= in the key's URI"
      fail "the token '$label' holds no private key matching '$key': correct object= or id= in the key's URI"
    fi
    fail "no private key matching '$key' was found: is the token '$label' present, and does it hold that key?"
  fi
  fail "could not sign $1 with $signer: $(reason "$2")"
}

# The certificate, before anything is signed (and the chain, given the roots).
facts_options=()
[ -z "$roots" ] || facts_options+=(--roots "$roots")
[ "$kind" != check ] || [ -n "$roots" ] || facts_options+=(--own-root)
# (The envelope is made with the vetted signer's key as certificate.py writes it: no second
# reader of the certificate file.)
[ "$kind" = exe ] || [ "$kind" = msi ] || facts_options+=(--public-key "$work/public.pem")
if [ "$source" = pkcs12 ]; then
  facts=$(printf '%s\n' "$secret" | "$python" "$here/certificate.py" sign.sh "$config" "${facts_options[@]}") || exit 1
else
  facts=$("$python" "$here/certificate.py" sign.sh "$config" "${facts_options[@]}" </dev/null) || exit 1
fi

# The OpenSSL configuration that loads the token's engine and module, for one command.
if [ "$source" = token ]; then
  cat >"$work/openssl.cnf" <<CNF
openssl_conf = openssl_init
[openssl_init]
engines = engines
[engines]
pkcs11 = pkcs11
[pkcs11]
engine_id = pkcs11
dynamic_path = $engine
MODULE_PATH = $module
init = 0
CNF
fi

# Signs the file IN with the key into the file OUT (a SHA-256 RSA signature).
sign_blob() {  # IN OUT WHAT
  local dgst=(dgst -sha256 -out "$2")
  case $source in
    token)
      log=$(printf '%s\n' "$secret" | OPENSSL_CONF=$work/openssl.cnf openssl "${dgst[@]}" -engine pkcs11 \
        -keyform engine -sign "$key" -passin stdin "$1" 2>&1) || signing_failed "$3" "$log"
      ;;
    pkcs12)
      # The key passes through a pipe only.
      log=$(printf '%s\n' "$secret" | openssl pkcs12 -in "$p12" -nocerts -nodes -passin stdin 2>/dev/null |
        openssl "${dgst[@]}" -sign /dev/stdin "$1" 2>&1) || signing_failed "$3" "$log"
      ;;
    pem)
      log=$(openssl "${dgst[@]}" -sign "$key" "$1" 2>&1) || signing_failed "$3" "$log"
      ;;
  esac
}

if [ "$kind" = check ]; then
  # A URI that matches more than one key on the token leaves the choice to the engine: say
  # so, rather than blame a certificate that belongs to one of them. (The public halves are
  # listed without logging in.)
  if [ "$source" = token ]; then
    label=$(uri_attribute token) object=$(uri_attribute object) id=$(uri_attribute id)
    id=$(od -An -tx1 <<<"$id" | tr -d ' \n' | sed 's/0a$//')
    if listing=$(pkcs11-tool --module "$module" --token-label "$label" --list-objects --type pubkey 2>/dev/null); then
      matches=$(awk -v object="$object" -v id="$id" '
        function judge() { if (seen && (object == "" || name == object) && (id == "" || tolower(hex) == id)) n++ }
        /^Public Key Object/ { judge(); seen = 1; name = ""; hex = ""; next }
        /^ *label:/ { sub(/^ *label: */, ""); sub(/ *$/, ""); name = $0 }
        /^ *ID:/ { hex = $2 }
        END { judge(); print n + 0 }' <<<"$listing")
      [ "$matches" -le 1 ] ||
        fail "the key's URI '$key' matches $matches keys on the token '$label': name one with object= and id="
    fi
  fi
  printf 'DORVANE signing check\n' >"$work/probe"
  sign_blob "$work/probe" "$work/probe.sig" "a test message"
  openssl dgst -sha256 -verify "$work/public.pem" -signature "$work/probe.sig" "$work/probe" >/dev/null 2>&1 ||
    fail "the certificate in '${certs:-$p12}' is not that of $signer: give the certificate of this key"
  echo "sign.sh: $signer signs, with the certificate of $(jq -r .subject <<<"$facts") (valid until $(jq -r .not_after <<<"$facts"))"
  exit 0
fi

if [ "$kind" != envelope ]; then
  [ -n "$osslsigncode" ] || fail "the signing configuration names no osslsigncode to sign an $kind"
  args=(sign -h sha256 -n DORVANE -time "$epoch")
  case $source in
    token) args+=(-pkcs11engine "$engine" -pkcs11module "$module" -certs "$certs" -key "$key" -readpass /dev/stdin) ;;
    pkcs12) args+=(-pkcs12 "$p12" -readpass /dev/stdin) ;;
    pem) args+=(-certs "$certs" -key "$key") ;;
  esac
  rm -f "$file.signed" "$file.stamped"
  # The signature first, with one login, then the timestamp over it, which needs no key:
  # an authority's failure is then never taken for the key's.
  # printf is a shell builtin: the PIN or password is in no process's arguments.
  log=$(printf '%s' "$secret" | "$osslsigncode" "${args[@]}" -in "$file" -out "$file.signed" 2>&1) ||
    signing_failed "$(basename "$file")" "$log"
  if [ ${#timestamps[@]} != 0 ]; then
    # Without roots given, an authority's https certificate and its token are held to the
    # system's.
    [ -n "$tsa_ca" ] || tsa_ca=/etc/ssl/certs/ca-certificates.crt
    step "$python" "$here/timestamp.py" "$(basename "$file")" "$file" "$file.signed" "$file.stamped" \
      --osslsigncode "$osslsigncode" --ca "$tsa_ca" --timeout "$bound" -- "${timestamps[@]}" || exit 1
    mv "$file.stamped" "$file.signed"
  fi
  chmod --reference="$file" "$file.signed"
  mv "$file.signed" "$file"
  exit 0
fi

# The envelope: records.mjs encodes what DSSE signs, OpenSSL signs it, and records.mjs
# assembles the envelope from the signature and the signer's public key, then the bundle
# from the envelope.
"$node" "$records" pae "$provenance" "$work/pae"
sign_blob "$work/pae" "$work/sig" "the provenance"
"$node" "$records" envelope "$provenance" "$work/sig" "$work/public.pem" "$out"
"$node" "$records" bundle "$out" "$work/public.pem" "$bundle"
