#!/usr/bin/env bash
# Signs what a release ships with the release key: an exe or an MSI in place with
# Authenticode (SHA-256, osslsigncode), or the provenance as a DSSE envelope (RSA PKCS#1
# v1.5 with SHA-256, OpenSSL), written also as a Sigstore bundle for Sigstore's verifiers.
# Every kind takes the same key options:
#   --certs PEM --key KEY.pem                    a key file
#   --pkcs12 FILE                                a PKCS#12 file; its password in DORVANE_SIGN_PASSWORD
#   --certs PEM --key pkcs11:URI --pkcs11-module MODULE.so --pkcs11-engine ENGINE.so
#                                                a key on a token; its PIN in the file
#                                                DORVANE_SIGN_PIN_FILE names (mode 600, or a
#                                                pipe), else in DORVANE_SIGN_PIN
#                                                (--key-uri-file FILE: the URI in a file)
#   --osslsigncode PATH                          the signer of exes and MSIs
#   --timestamp URL                              an RFC 3161 countersignature (exe and MSI); given
#                                                again, the next authority to try when one fails
#   --timestamp-ca PEM                           the roots an https authority chains to (default:
#                                                the system's)
#   --timestamp-timeout SECONDS                  the most one authority may take, from connect to
#                                                the whole reply (default 30)
# Before anything is signed, the certificate must be valid now, for code signing, and
# (for a key file) that of the key. "check" does that and signs once with the key, which
# logs in to a token once: a wrong PIN stops there.
# Secrets go through a pipe from a shell builtin, never a command line or another
# program's environment, and no key is ever written out: a PKCS#12 key goes from openssl's
# output straight into the signer's input, and a token's key never leaves the token.
# usage: sign.sh exe|msi FILE EPOCH_FILE OPTION...
#        sign.sh envelope PROVENANCE OUT.intoto.jsonl OUT.sigstore.json NODE RECORDS_MJS OPTION...
#        sign.sh check OPTION...
set -euo pipefail
usage() {
  echo "usage: sign.sh exe|msi FILE EPOCH_FILE OPTION... | envelope PROVENANCE OUT BUNDLE NODE RECORDS_MJS OPTION..." \
    "| check OPTION..." >&2
  exit 2
}
kind=${1-}
case $kind in
  exe | msi) [ $# -ge 3 ] || usage; file=$2 epoch=$(cat "$3"); shift 3 ;;
  envelope) [ $# -ge 6 ] || usage; provenance=$2 out=$3 bundle=$4 node=$5 records=$6; shift 6 ;;
  check) shift ;;
  *) usage ;;
esac
certs="" key="" p12="" module="" engine="" osslsigncode="" timestamps=() tsa_ca="" bound=30
while [ $# -gt 0 ]; do
  [ $# -ge 2 ] || { echo "sign.sh: $1 needs a value" >&2; exit 2; }
  case $1 in
    --certs) certs=$2 ;;
    --key) key=$2 ;;
    --key-uri-file) key=$(head -c 4096 "$2") ;;  # (a CMake list cannot carry a URI's ";")
    --pkcs12) p12=$2 ;;
    --pkcs11-module) module=$2 ;;
    --pkcs11-engine) engine=$2 ;;
    --osslsigncode) osslsigncode=$2 ;;
    --timestamp) timestamps+=("$2") ;;
    --timestamp-ca) tsa_ca=$2 ;;
    --timestamp-timeout) bound=$2 ;;
    *) echo "sign.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift 2
done

work=$(mktemp -d)
# Whatever happens, no half-signed file is left where a package step could take it, and an
# exe that did not get its signature does not stay to be packaged unsigned by a later
# build: removing it makes the next build link and sign it again.
finish() {
  local status=$?
  rm -rf "$work"
  if [ -n "${file-}" ]; then
    rm -f "$file.signed" "$file.stamped"
    [ "$status" = 0 ] || [ "$kind" != exe ] || rm -f "$file"
  fi
}
trap finish EXIT
fail() { echo "sign.sh: $*" >&2; exit 1; }
# Text as shown: without the user and password a timestamp authority's URL may carry.
shown() { sed -E 's#(://)[^/@[:space:]]*@#\1#g' <<<"$1"; }

# The token's PIN: from the file DORVANE_SIGN_PIN_FILE names, which only the owner may read
# (or a pipe, which serves one signing), else from DORVANE_SIGN_PIN. Either way it is then
# in no environment: the programs started here get it through a pipe.
read_pin() {
  local pin_file=${DORVANE_SIGN_PIN_FILE-} mode
  if [ -n "$pin_file" ]; then
    if [ -f "$pin_file" ]; then
      mode=$(stat -L -c %a "$pin_file")
      (((8#$mode & 8#044) == 0)) ||
        fail "group or others can read the PIN file '$pin_file' (mode $mode): chmod 600 '$pin_file'"
    elif [ ! -p "$pin_file" ]; then
      fail "DORVANE_SIGN_PIN_FILE '$pin_file' is neither a regular file nor a pipe"
    fi
    # read is a builtin: no other program opens the file.
    if [ -p "$pin_file" ]; then
      # Opened for writing too, so that the open never waits for a writer; one line, within
      # a bound, so that a pipe nobody writes cannot hang the build.
      local fd status=0
      exec {fd}<>"$pin_file"
      IFS= read -r -t 30 -u "$fd" secret || status=$?
      [ $status -le 128 ] || fail "nothing came through the PIN pipe '$pin_file' within 30 s (a pipe serves one signing: a build signs several times, give it a file)"
      ! read -r -t 0 -u "$fd" || fail "the PIN pipe '$pin_file' gave more than one line: give the PIN alone"
      exec {fd}<&-
    else
      IFS= read -r -d '' -N 4096 secret <"$pin_file" || true
      secret=${secret%$'\n'}
    fi
    secret=${secret%$'\r'}
    [[ $secret != *$'\n'* ]] || fail "the PIN file '$pin_file' holds more than one line: write the PIN alone"
    if [ -z "$secret" ]; then
      [ ! -p "$pin_file" ] || fail "the PIN pipe '$pin_file' gave no PIN (a pipe serves one signing: a build signs several times, give it a file)"
      fail "the PIN file '$pin_file' is empty: write the token's PIN into it"
    fi
  elif [ -n "${DORVANE_SIGN_PIN+set}" ]; then
    secret=$DORVANE_SIGN_PIN
    [ -n "$secret" ] || fail "DORVANE_SIGN_PIN is empty: set it (or DORVANE_SIGN_PIN_FILE) to the token's PIN"
  else
    fail "set DORVANE_SIGN_PIN_FILE (or DORVANE_SIGN_PIN) to the PIN of the token holding '$key'"
  fi
}

if [ -n "$module" ]; then
  source=token
  [[ $key == pkcs11:* ]] || fail "--pkcs11-module needs --key pkcs11:URI"
  # A PIN inside the URI would be on every signer's command line.
  [[ $key != *pin-value=* && $key != *pin-source=* ]] || fail "the key's URI must not hold the PIN: set DORVANE_SIGN_PIN_FILE"
  read_pin
elif [ -n "$p12" ]; then
  source=pkcs12
  [ -n "${DORVANE_SIGN_PASSWORD+set}" ] || fail "set DORVANE_SIGN_PASSWORD to the password of '$p12'"
  secret=$DORVANE_SIGN_PASSWORD
else
  source=pem
  if [ -z "$certs" ] || [ -z "$key" ]; then fail "sign with --certs and --key, or --pkcs12"; fi
  secret=""
fi
unset DORVANE_SIGN_PIN
# What is signing, for a message that says which key failed.
case $source in
  token) signer="the key '$key' on its token (PKCS#11 module '$module')" ;;
  pkcs12) signer="the key in '$p12'" ;;
  pem) signer="the key '$key'" ;;
esac
# The reason OpenSSL gives (PIN incorrect, ...), else the tool's last line.
reason() {
  local why
  why=$(sed -n 's/^.*:error:[^:]*:[^:]*:[^:]*:\([^:]*\):.*$/\1/p' <<<"$1" | head -1)
  [ -n "$why" ] || why=$(grep -v '^\s*$' <<<"$1" | tail -1)
  echo "$why"
}
# Why a signing failed, in words that say what to fix.
signing_failed() {  # WHAT LOG
  local label labels
  case $2 in
    *"key values mismatch"*) fail "the certificate '$certs' is not that of $signer: give the certificate of this key" ;;
    *"Failed to read password"*) fail "no PIN reached the signer of $1" ;;
  esac
  # The engine says "object not found" both for a token that is not there and for a key that
  # is not on it: the module's list of tokens tells which.
  if [ "$source" = token ] && [[ $2 == *"object not found"* ]] && [[ $key =~ [:\;]token=([^\;?]*) ]]; then
    label=${BASH_REMATCH[1]}
    label=$(printf '%b' "${label//%/\\x}")
    if labels=$(pkcs11-tool --module "$module" --list-token-slots 2>/dev/null); then
      sed -n 's/^ *token label *: //p' <<<"$labels" | sed 's/ *$//' | grep -qxF -- "$label" ||
        fail "no token labelled '$label' is present (PKCS#11 module '$module'): plug it in, or correct token= in the key's URI"
      fail "the token '$label' holds no private key matching '$key': correct object= or id= in the key's URI"
    fi
    fail "no private key matching '$key' was found: is the token '$label' present, and does it hold that key?"
  fi
  fail "could not sign $1 with $signer: $(reason "$2")"
}

# The certificate, before anything is signed: valid now, for code signing, and the key's
# own (a token's key is compared by the signature "check" makes, and by the signer).
leaf=$work/leaf.pem
if [ "$source" = pkcs12 ]; then
  log=$(openssl pkcs12 -in "$p12" -nokeys -clcerts -passin env:DORVANE_SIGN_PASSWORD -out "$leaf" 2>&1) ||
    fail "could not open $signer: $(reason "$log")"
  subject=$p12
else
  openssl x509 -in "$certs" -out "$leaf" 2>/dev/null || fail "'$certs' holds no PEM certificate"
  subject=$certs
fi
date_of() { date -u -d "$(openssl x509 -in "$leaf" -noout "-$1" | cut -d= -f2-)" +%s; }
now=$(date -u +%s)
not_before=$(date_of startdate) not_after=$(date_of enddate)
day() { date -u -d "@$1" +%Y-%m-%d; }
[ "$now" -le "$not_after" ] ||
  fail "the certificate in '$subject' expired on $(day "$not_after"): renew it"
[ "$now" -ge "$not_before" ] ||
  fail "the certificate in '$subject' is not valid before $(day "$not_before"): check the clock, or use the current one"
openssl x509 -in "$leaf" -noout -ext extendedKeyUsage 2>/dev/null | grep -q 'Code Signing' ||
  fail "the certificate in '$subject' has no codeSigning extended key usage: it cannot sign code"
if [ "$source" = pem ]; then
  [ "$(openssl x509 -in "$leaf" -noout -pubkey)" = "$(openssl pkey -in "$key" -pubout 2>/dev/null)" ] ||
    fail "the certificate in '$subject' is not that of the key '$key': give the certificate of this key"
fi

# Signs the file IN with the key into the file OUT (a SHA-256 RSA signature).
sign_blob() {  # IN OUT WHAT
  local dgst=(dgst -sha256 -out "$2")
  case $source in
    token)
      # The engine and the module, for this one command; the PIN comes through a pipe.
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
      log=$(printf '%s\n' "$secret" | OPENSSL_CONF=$work/openssl.cnf openssl "${dgst[@]}" -engine pkcs11 \
        -keyform engine -sign "$key" -passin stdin "$1" 2>&1) || signing_failed "$3" "$log"
      ;;
    pkcs12)
      # The key passes through a pipe only.
      log=$(openssl pkcs12 -in "$p12" -nocerts -nodes -passin env:DORVANE_SIGN_PASSWORD 2>/dev/null |
        openssl "${dgst[@]}" -sign /dev/stdin "$1" 2>&1) || signing_failed "$3" "$log"
      ;;
    pem)
      log=$(openssl "${dgst[@]}" -sign "$key" "$1" 2>&1) || signing_failed "$3" "$log"
      ;;
  esac
}

if [ "$kind" = check ]; then
  printf 'DORVANE signing check\n' >"$work/probe"
  sign_blob "$work/probe" "$work/probe.sig" "a test message"
  openssl x509 -in "$leaf" -noout -pubkey >"$work/public.pem"
  openssl dgst -sha256 -verify "$work/public.pem" -signature "$work/probe.sig" "$work/probe" >/dev/null 2>&1 ||
    fail "the certificate in '$subject' is not that of $signer: give the certificate of this key"
  echo "sign.sh: $signer signs, with the certificate in '$subject' (valid until $(day "$not_after"))"
  exit 0
fi

if [ "$kind" != envelope ]; then
  [ -n "$osslsigncode" ] || fail "--osslsigncode is needed to sign an $kind"
  args=(sign -h sha256 -n DORVANE -time "$epoch")
  case $source in
    token) args+=(-pkcs11engine "$engine" -pkcs11module "$module" -certs "$certs" -key "$key" -readpass /dev/stdin) ;;
    pkcs12) args+=(-pkcs12 "$p12" -readpass /dev/stdin) ;;
    pem) args+=(-certs "$certs" -key "$key") ;;
  esac
  for url in "${timestamps[@]}"; do
    [[ $url =~ ^https?://[^[:space:]]+$ ]] || fail "the timestamp server must be an http:// or https:// URL: '$(shown "$url")'"
  done
  [[ $bound =~ ^[1-9][0-9]{0,3}$ ]] || fail "the timestamp timeout must be a number of seconds: '$bound'"
  # Without a CA file osslsigncode skips verifying an https authority altogether.
  [ -n "$tsa_ca" ] || tsa_ca=/etc/ssl/certs/ca-certificates.crt
  rm -f "$file.signed" "$file.stamped"
  # The signature first, with one login, then the timestamp over it, which needs no key:
  # an authority's failure is then never taken for the key's.
  # printf is a shell builtin: the PIN or password is in no process's arguments.
  log=$(printf '%s' "$secret" | "$osslsigncode" "${args[@]}" -in "$file" -out "$file.signed" 2>&1) ||
    signing_failed "$(basename "$file")" "$log"
  # Each authority in turn, each bounded from connect to its whole reply: osslsigncode
  # itself waits for ever on one that accepts and never answers.
  causes=()
  joined() { local IFS=$'\x1f'; local all="$*"; echo "${all//$'\x1f'/; }"; }
  for url in "${timestamps[@]}"; do
    rm -f "$file.stamped"
    status=0
    log=$(timeout -k 5 "$bound" "$osslsigncode" add -h sha256 -ts "$url" -HTTPS-CAfile "$tsa_ca" \
      -in "$file.signed" -out "$file.stamped" 2>&1) || status=$?
    if [ $status = 0 ]; then
      mv "$file.stamped" "$file.signed"
      [ ${#causes[@]} = 0 ] ||
        echo "sign.sh: $(basename "$file") timestamped by $(shown "$url"), after: $(joined "${causes[@]}")" >&2
      causes=()
      break
    fi
    case $status in
      124 | 137) causes+=("$(shown "$url") gave no answer within ${bound} s") ;;
      *) causes+=("$(shown "$url"): $(shown "$(reason "$log")")") ;;
    esac
  done
  [ ${#causes[@]} = 0 ] ||
    fail "no timestamp for $(basename "$file") (the key signed; no timestamp authority answered): $(joined "${causes[@]}")"
  chmod --reference="$file" "$file.signed"
  mv "$file.signed" "$file"
  exit 0
fi

# The envelope: records.mjs encodes what DSSE signs, OpenSSL signs it, and records.mjs
# assembles the envelope from the signature and the certificate whose key made it, then
# the bundle from the envelope.
"$node" "$records" pae "$provenance" "$work/pae"
sign_blob "$work/pae" "$work/sig" "the provenance"
if [ "$source" = pkcs12 ]; then
  # The certificates are public: the envelope carries them.
  openssl pkcs12 -in "$p12" -nokeys -passin env:DORVANE_SIGN_PASSWORD -out "$work/certs.pem" 2>/dev/null
  certs=$work/certs.pem
fi
"$node" "$records" envelope "$provenance" "$work/sig" "$certs" "$out"
"$node" "$records" bundle "$out" "$certs" "$bundle"
