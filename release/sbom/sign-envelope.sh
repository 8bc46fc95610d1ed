#!/usr/bin/env bash
# Wraps a provenance statement in a DSSE envelope signed with the release key, the one
# sign-file.sh signs the exe with. A PKCS#12 key is unpacked into a private temporary
# folder for the moment it is used; its password comes from DORVANE_SIGN_PASSWORD through
# the environment, never a command line.
# usage: sign-envelope.sh NODE RECORDS_MJS PROVENANCE OUT.intoto.jsonl
#                         (--certs PEM --key PEM | --pkcs12 FILE) [--timestamp URL]
set -euo pipefail
node=$1 records=$2 provenance=$3 out=$4
shift 4
key=""
p12=""
while [ $# -gt 0 ]; do
  case $1 in
    --key) key=$2 ;;
    --pkcs12) p12=$2 ;;
    --certs | --timestamp) ;;
    *) echo "sign-envelope.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift 2
done
if [ -n "$p12" ]; then
  if [ -z "${DORVANE_SIGN_PASSWORD+set}" ]; then
    echo "sign-envelope.sh: set DORVANE_SIGN_PASSWORD to the PKCS#12 file's password" >&2
    exit 1
  fi
  private=$(mktemp -d)
  trap 'rm -rf "$private"' EXIT
  (umask 077 && openssl pkcs12 -in "$p12" -nocerts -nodes -passin env:DORVANE_SIGN_PASSWORD \
    -out "$private/key.pem" 2>/dev/null)
  key=$private/key.pem
fi
"$node" "$records" envelope "$provenance" "$key" "$out"
