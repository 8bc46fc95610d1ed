#!/usr/bin/env bash
# Signs what a release ships with the release key: an exe or an MSI in place with
# Authenticode (SHA-256, osslsigncode), or the provenance as a DSSE envelope (RSA PKCS#1
# v1.5 with SHA-256, OpenSSL), written also as a Sigstore bundle for Sigstore's verifiers.
# Every kind takes the same key options:
#   --certs PEM --key KEY.pem                    a key file
#   --pkcs12 FILE                                a PKCS#12 file; its password in DORVANE_SIGN_PASSWORD
#   --certs PEM --key pkcs11:URI --pkcs11-module MODULE.so --pkcs11-engine ENGINE.so
#                                                a key on a token; its PIN in DORVANE_SIGN_PIN
#                                                (--key-uri-file FILE: the URI in a file)
#   --osslsigncode PATH                          the signer of exes and MSIs
#   --timestamp URL                              an RFC 3161 countersignature (exe and MSI)
# Secrets go through the environment or a pipe from a shell builtin, never a command line,
# and no key is ever written out: a PKCS#12 key goes from openssl's output straight into
# the signer's input, and a token's key never leaves the token.
# usage: sign.sh exe|msi FILE EPOCH_FILE OPTION...
#        sign.sh envelope PROVENANCE OUT.intoto.jsonl OUT.sigstore.json NODE RECORDS_MJS OPTION...
set -euo pipefail
usage() {
  echo "usage: sign.sh exe|msi FILE EPOCH_FILE OPTION... | envelope PROVENANCE OUT BUNDLE NODE RECORDS_MJS OPTION..." >&2
  exit 2
}
kind=${1-}
case $kind in
  exe | msi) [ $# -ge 3 ] || usage; file=$2 epoch=$(cat "$3"); shift 3 ;;
  envelope) [ $# -ge 6 ] || usage; provenance=$2 out=$3 bundle=$4 node=$5 records=$6; shift 6 ;;
  *) usage ;;
esac
certs="" key="" p12="" module="" engine="" osslsigncode="" timestamp=""
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
    --timestamp) timestamp=$2 ;;
    *) echo "sign.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift 2
done

fail() { echo "sign.sh: $*" >&2; exit 1; }
if [ -n "$module" ]; then
  source=token
  [[ $key == pkcs11:* ]] || fail "--pkcs11-module needs --key pkcs11:URI"
  # A PIN inside the URI would be on every signer's command line.
  [[ $key != *pin-value=* && $key != *pin-source=* ]] || fail "the key's URI must not hold the PIN: set DORVANE_SIGN_PIN"
  [ -n "${DORVANE_SIGN_PIN+set}" ] || fail "set DORVANE_SIGN_PIN to the PIN of the token holding '$key'"
  secret=$DORVANE_SIGN_PIN
elif [ -n "$p12" ]; then
  source=pkcs12
  [ -n "${DORVANE_SIGN_PASSWORD+set}" ] || fail "set DORVANE_SIGN_PASSWORD to the password of '$p12'"
  secret=$DORVANE_SIGN_PASSWORD
else
  source=pem
  if [ -z "$certs" ] || [ -z "$key" ]; then fail "sign with --certs and --key, or --pkcs12"; fi
  secret=""
fi
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

work=$(mktemp -d)
# Whatever happens, no half-signed file is left where a package step could take it.
trap 'rm -rf "$work"; [ -z "${file-}" ] || rm -f "$file.signed"' EXIT

if [ "$kind" != envelope ]; then
  [ -n "$osslsigncode" ] || fail "--osslsigncode is needed to sign an $kind"
  args=(sign -h sha256 -n DORVANE -time "$epoch")
  case $source in
    token) args+=(-pkcs11engine "$engine" -pkcs11module "$module" -certs "$certs" -key "$key" -readpass /dev/stdin) ;;
    pkcs12) args+=(-pkcs12 "$p12" -readpass /dev/stdin) ;;
    pem) args+=(-certs "$certs" -key "$key") ;;
  esac
  if [ -n "$timestamp" ]; then
    [[ $timestamp =~ ^https?://[^[:space:]]+$ ]] || fail "the timestamp server must be an http:// or https:// URL: '$timestamp'"
    args+=(-ts "$timestamp")
  fi
  rm -f "$file.signed"
  # printf is a shell builtin: the PIN or password is in no process's arguments.
  if ! log=$(printf '%s' "$secret" | "$osslsigncode" "${args[@]}" -in "$file" -out "$file.signed" 2>&1); then
    # An exe the build could not sign must not stay to be packaged unsigned by a later
    # build: removing it makes the next build link and sign it again.
    [ "$kind" != exe ] || rm -f "$file"
    fail "could not sign $(basename "$file") with $signer: $(reason "$log")"
  fi
  chmod --reference="$file" "$file.signed"
  mv "$file.signed" "$file"
  exit 0
fi

# The envelope: records.mjs encodes what DSSE signs, OpenSSL signs it, and records.mjs
# assembles the envelope from the signature and the certificate whose key made it, then
# the bundle from the envelope.
"$node" "$records" pae "$provenance" "$work/pae"
dgst=(dgst -sha256 -out "$work/sig")
case $source in
  token)
    # The engine and the module, for this one command; OpenSSL reads the PIN from the
    # environment itself.
    cat >"$work/openssl.cnf" <<EOF
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
EOF
    log=$(OPENSSL_CONF=$work/openssl.cnf openssl "${dgst[@]}" -engine pkcs11 -keyform engine -sign "$key" \
      -passin env:DORVANE_SIGN_PIN "$work/pae" 2>&1) || fail "could not sign the provenance with $signer: $(reason "$log")"
    ;;
  pkcs12)
    # The certificates are public: unpacking them first also tells a wrong password from
    # anything else. The key passes through a pipe only.
    log=$(openssl pkcs12 -in "$p12" -nokeys -passin env:DORVANE_SIGN_PASSWORD -out "$work/certs.pem" 2>&1) ||
      fail "could not open $signer: $(reason "$log")"
    certs=$work/certs.pem
    log=$(openssl pkcs12 -in "$p12" -nocerts -nodes -passin env:DORVANE_SIGN_PASSWORD 2>/dev/null |
      openssl "${dgst[@]}" -sign /dev/stdin "$work/pae" 2>&1) ||
      fail "could not sign the provenance with $signer: $(reason "$log")"
    ;;
  pem)
    log=$(openssl "${dgst[@]}" -sign "$key" "$work/pae" 2>&1) ||
      fail "could not sign the provenance with $signer: $(reason "$log")"
    ;;
esac
"$node" "$records" envelope "$provenance" "$work/sig" "$certs" "$out"
"$node" "$records" bundle "$out" "$certs" "$bundle"
