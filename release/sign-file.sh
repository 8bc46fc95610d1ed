#!/usr/bin/env bash
# Signs an exe or an MSI in place with Authenticode (SHA-256). A PKCS#12 password comes from the
# environment (DORVANE_SIGN_PASSWORD) through a pipe, never from a command line.
# usage: sign-file.sh OSSLSIGNCODE FILE EPOCH_FILE (--certs PEM --key PEM | --pkcs12 FILE)
#                     [--timestamp URL]
set -euo pipefail
osslsigncode=$1
exe=$2
epoch=$(cat "$3")
shift 3
args=(sign -h sha256 -n DORVANE -time "$epoch")
password=0
while [ $# -gt 0 ]; do
  case $1 in
    --certs) args+=(-certs "$2") ;;
    --key) args+=(-key "$2") ;;
    --pkcs12) args+=(-pkcs12 "$2" -readpass /dev/stdin); password=1 ;;
    --timestamp) args+=(-ts "$2") ;;
    *) echo "sign-file.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift 2
done
rm -f "$exe.signed"
if [ $password = 1 ]; then
  if [ -z "${DORVANE_SIGN_PASSWORD+set}" ]; then
    echo "sign-file.sh: set DORVANE_SIGN_PASSWORD to the PKCS#12 file's password" >&2
    exit 1
  fi
  # printf is a shell builtin: the password is in no process's arguments.
  printf '%s' "$DORVANE_SIGN_PASSWORD" | "$osslsigncode" "${args[@]}" -in "$exe" -out "$exe.signed" >/dev/null
else
  "$osslsigncode" "${args[@]}" -in "$exe" -out "$exe.signed" </dev/null >/dev/null
fi
chmod --reference="$exe" "$exe.signed"
mv "$exe.signed" "$exe"
