#!/usr/bin/env bash
# scripts/verify-release against releases made here by the README's release commands from a
# throwaway repository of the tracked sources: a good one passes, with --rebuild too; each
# hostile one fails, naming the problem, within its time, leaving the folder it read as it
# was and nothing in its TMPDIR.
# usage: verify_release_test.sh SOURCE_DIR PRESET [NODE_MODULES [ARM64_CACHE]]
#   (the SBOM's npm packages and the ARM64 sysroot cache, reused as they are)
set -u
src=$(cd "$1" && pwd)
preset=$2
export DORVANE_NODE_MODULES=${3-}
[ -n "$DORVANE_NODE_MODULES" ] || unset DORVANE_NODE_MODULES
arm64_cache=${4-}
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../checks.sh"
# By hand: VERIFY_RELEASE=scripts/verify-release of a copy of the sources (a fault planted
# in its release/verify/) and VERIFY_RELEASE_ROWS=a regular expression of the rows to run.
verify=${VERIFY_RELEASE:-$src/scripts/verify-release}
rows=${VERIFY_RELEASE_ROWS:-.}
# The one file a user copies, made as the host build makes it, from the same sources.
verify_src=$(cd "$(dirname "$verify")/.." && pwd)
mkdir "$tmp/one"
/usr/bin/python3 -I "$verify_src/release/pack_verifier.py" "$verify_src" "$tmp/one/verify-release" ||
  { echo "cannot make the verifier's one file"; exit 1; }

# Two commits: the sources as they are, and one more a minute later (same files, later
# dates in the packages).
copy_sources "$src" "$tmp/git"
(
  cd "$tmp/git" && git init -q && git add -A &&
    GIT_COMMITTER_DATE=@1767225600 git -c user.name=t -c user.email=t@t commit -q -m one --date=@1767225600 &&
    GIT_COMMITTER_DATE=@1767225660 git -c user.name=t -c user.email=t@t commit -q --allow-empty -m two
) || { echo "cannot make the test repository"; exit 1; }
one=$(git -C "$tmp/git" rev-parse HEAD~1)
two=$(git -C "$tmp/git" rev-parse HEAD)
cache=()
[ -z "$arm64_cache" ] || cache=("-DDORVANE_ARM64_CACHE=$arm64_cache" --arm64-cache "$arm64_cache")

release() {  # NAME [CMAKE_ARG...]: the release of commit one, in $tmp/NAME
  local name=$1
  shift
  if ! { git clone -q "$tmp/git" "$tmp/$name-src" && git -C "$tmp/$name-src" checkout -q "$one" &&
    (cd "$tmp/$name-src" && cmake --preset "$preset" -DDORVANE_BUILD_TESTS=OFF "${cache[@]:0:1}" \
      ${DORVANE_NODE_MODULES:+"-DDORVANE_NODE_MODULES=$DORVANE_NODE_MODULES"} "$@" &&
      cmake --build --preset "$preset" --target package); } >"$tmp/$name.log" 2>&1; then
    cat "$tmp/$name.log"
    exit 1
  fi
  mkdir "$tmp/$name"
  find "$tmp/$name-src/build/$preset/package" -maxdepth 1 -type f -name 'dorvane-*' -exec cp {} "$tmp/$name" \;
}
openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=DORVANE verify test" \
  -addext extendedKeyUsage=codeSigning -keyout "$tmp/key.pem" -out "$tmp/cert.pem" 2>/dev/null
openssl x509 -in "$tmp/cert.pem" -pubkey -noout >"$tmp/pub.pem"
# An attacker's certificate with the publisher's subject; a CA of the test's own and its
# customer, the publisher, with a certificate the CA issued.
openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=DORVANE verify test" \
  -addext extendedKeyUsage=codeSigning -keyout "$tmp/evil-key.pem" -out "$tmp/evil.pem" 2>/dev/null
openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=DORVANE test CA" \
  -addext basicConstraints=critical,CA:true -addext keyUsage=critical,keyCertSign,cRLSign \
  -keyout "$tmp/ca-key.pem" -out "$tmp/ca.pem" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj "/O=Example/CN=DORVANE publisher" -keyout "$tmp/publisher-key.pem" \
  -out "$tmp/publisher.csr" 2>/dev/null
printf 'extendedKeyUsage=codeSigning\nbasicConstraints=CA:false\n' >"$tmp/leaf.ext"
openssl x509 -req -in "$tmp/publisher.csr" -CA "$tmp/ca.pem" -CAkey "$tmp/ca-key.pem" -CAcreateserial -days 3650 \
  -extfile "$tmp/leaf.ext" -out "$tmp/publisher.pem" 2>/dev/null
cat "$tmp/ca.pem" >>"$tmp/publisher.pem"
# A listener on 127.0.0.1 that counts the connections made to it and never answers: the CRL
# distribution point the test CA's leaves name. The verifier must never connect.
cat >"$tmp/counter.py" <<'EOF'
import socket, sys
server = socket.socket()
server.bind(("127.0.0.1", 0))
server.listen(16)
open(sys.argv[1] + ".port", "w").write(str(server.getsockname()[1]))
held, count = [], 0
while True:
    connection, _ = server.accept()
    held.append(connection)
    count += 1
    open(sys.argv[1], "w").write(str(count))
EOF
/usr/bin/python3 "$tmp/counter.py" "$tmp/connections" &
counter=$!
for _ in $(seq 100); do [ -s "$tmp/connections.port" ] && break; sleep 0.1; done
cdp=http://127.0.0.1:$(cat "$tmp/connections.port")/ca.crl
# An intermediate of the test CA naming that point; the publisher's key certified under it and,
# with the point too, directly under the test CA.
openssl req -newkey rsa:2048 -nodes -subj "/CN=DORVANE test intermediate" -keyout "$tmp/inter-key.pem" \
  -out "$tmp/inter.csr" 2>/dev/null
printf 'basicConstraints=critical,CA:true\nkeyUsage=critical,keyCertSign,cRLSign\ncrlDistributionPoints=URI:%s\n' "$cdp" \
  >"$tmp/inter.ext"
openssl x509 -req -in "$tmp/inter.csr" -CA "$tmp/ca.pem" -CAkey "$tmp/ca-key.pem" -CAcreateserial -days 3650 \
  -extfile "$tmp/inter.ext" -out "$tmp/inter.pem" 2>/dev/null
printf 'extendedKeyUsage=codeSigning\nbasicConstraints=CA:false\ncrlDistributionPoints=URI:%s\n' "$cdp" >"$tmp/cdp.ext"
openssl x509 -req -in "$tmp/publisher.csr" -CA "$tmp/ca.pem" -CAkey "$tmp/ca-key.pem" -CAcreateserial -days 3650 \
  -extfile "$tmp/cdp.ext" -out "$tmp/cdp-leaf.pem" 2>/dev/null
openssl x509 -req -in "$tmp/publisher.csr" -CA "$tmp/inter.pem" -CAkey "$tmp/inter-key.pem" -CAcreateserial \
  -days 3650 -extfile "$tmp/cdp.ext" -out "$tmp/cdp-under.pem" 2>/dev/null
cat "$tmp/cdp-under.pem" "$tmp/inter.pem" >"$tmp/cdp-chain.pem"
# The test CA's CRLs, given with --crl: one that revokes nothing, one that revokes that leaf,
# one that revokes the leaf and the intermediate; and the intermediate's, revoking nothing.
for issuer in ca inter; do
  mkdir "$tmp/crl-$issuer" && : >"$tmp/crl-$issuer/index.txt" && echo 01 >"$tmp/crl-$issuer/number"
  printf '[ca]\ndefault_ca=d\n[d]\ndatabase=%s\ncrlnumber=%s\ndefault_md=sha256\ndefault_crl_days=3650\n' \
    "$tmp/crl-$issuer/index.txt" "$tmp/crl-$issuer/number" >"$tmp/crl-$issuer/ca.cnf"
done
crl() {  # ISSUER OPENSSL-CA-ARG...
  openssl ca -config "$tmp/crl-$1/ca.cnf" -keyfile "$tmp/$1-key.pem" -cert "$tmp/$1.pem" "${@:2}" 2>/dev/null
}
if ! { crl ca -gencrl -out "$tmp/good.crl" && crl ca -revoke "$tmp/cdp-leaf.pem" && crl ca -gencrl -out "$tmp/revoked.crl" &&
  crl ca -revoke "$tmp/inter.pem" && crl ca -gencrl -out "$tmp/inter-revoked.crl" &&
  crl inter -gencrl -out "$tmp/inter.crl"; }; then
  echo "cannot make the test CA's CRLs"
  exit 1
fi
release good
release signed -DDORVANE_SIGN_CERT="$tmp/cert.pem" -DDORVANE_SIGN_KEY="$tmp/key.pem"
release casigned -DDORVANE_SIGN_CERT="$tmp/publisher.pem" -DDORVANE_SIGN_KEY="$tmp/publisher-key.pem"
# A build's package folder as it is, CPack's working folder in it, SHA256SUMS over its files.
cp -a "$tmp/good-src/build/$preset/package" "$tmp/working"
(cd "$tmp/working" && find . -maxdepth 1 -type f -printf '%P\0' | sort -z | xargs -0 sha256sum -- >"$tmp/working.sums" &&
  mv "$tmp/working.sums" SHA256SUMS)
working_sums=$(sha256sum <"$tmp/working/SHA256SUMS" | cut -c1-64)
zip=$(cd "$tmp/good" && ls dorvane-*.zip)
base=${zip%.zip}
# A release folder as scripts/release.sh makes it: SHA256SUMS over every file.
cp -a "$tmp/good" "$tmp/sums"
(cd "$tmp/sums" && sha256sum -- * >SHA256SUMS)
sums=$(sha256sum <"$tmp/sums/SHA256SUMS" | cut -c1-64)
echo outside >"$tmp/outside"
# The verifier's one file copied alone, as a user downloads it.
mkdir "$tmp/alone"
cp "$tmp/one/verify-release" "$tmp/alone/"
# The tools it uses, but one; and osslsigncode as a stand-in that waits (its process id
# written down), for the signals.
for without in osslsigncode msitools; do
  mkdir "$tmp/no-$without"
  for tool in openssl osslsigncode msiinfo msiextract msibuild node; do
    case $without:$tool in osslsigncode:osslsigncode | msitools:msi*) continue ;; esac
    ! command -v "$tool" >/dev/null || ln -s "$(command -v "$tool")" "$tmp/no-$without/"
  done
done
mkdir "$tmp/waits"
printf '#!/bin/sh\necho $$ >"%s/waits.pid"\nexec sleep 60\n' "$tmp" >"$tmp/waits/osslsigncode"
chmod +x "$tmp/waits/osslsigncode"
# A helper planted where a verifier might look for one beside itself, in a shared folder.
mkdir -p "$tmp/shared/x" "$tmp/shared/release/sbom" "$tmp/shared/build/node/node_modules/@cyclonedx"
cp "$tmp/one/verify-release" "$tmp/shared/x/verify"
printf 'import fs from "fs";\nfs.writeFileSync("%s/planted-ran", "");\n' "$tmp" >"$tmp/shared/release/sbom/records.mjs"
# ... and tools it runs, in the working folder it is run from (PATH starts with "."), and in
# the folder it checks (PATH names it).
for tool in osslsigncode msiinfo openssl; do
  printf '#!/bin/sh\ntouch "%s/planted-ran"\nexit 1\n' "$tmp" >"$tmp/shared/x/$tool"
  chmod +x "$tmp/shared/x/$tool"
done

# The signed release, its MSI signed anew with a timestamp from an authority of the test's
# own (tests/wine/tsa.py), its records redone to match; the authority's root is not the
# system's.
tsa=$tmp/tsa
mkdir "$tsa"
/usr/bin/python3 "$here/../wine/tsa.py" "$tsa" &
authority=$!
trap 'kill "$authority" "$counter" 2>/dev/null; rm -rf "$tmp"' EXIT
trap 'exit 1' TERM INT HUP
for _ in $(seq 100); do [ -s "$tsa/port" ] && break; sleep 0.1; done
cp -a "$tmp/signed" "$tmp/stamped"
(
  cd "$tmp/stamped" && osslsigncode remove-signature -in "$base.msi" -out "$tmp/unsigned.msi" &&
    osslsigncode sign -certs "$tmp/cert.pem" -key "$tmp/key.pem" -h sha256 -ts "http://127.0.0.1:$(cat "$tsa/port")/" \
      -in "$tmp/unsigned.msi" -out "$tmp/stamped.msi"
) >"$tmp/stamped.log" 2>&1 || { cat "$tmp/stamped.log"; exit 1; }
kill "$authority" 2>/dev/null
cat "$tmp/cert.pem" "$tsa/ca.pem" >"$tmp/cert-and-tsa.pem"
# A root, then a block OpenSSL cannot read, which would make it refuse the whole file.
(cat "$tsa/ca.pem" && printf -- '-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n') >"$tmp/bad-block.pem"

# Tampering, each on a copy. py DIR CODE: Python in the copy, with the ZIP's name (zip_name),
# base, rewrite (a ZIP's members replaced, added or dropped) and redo (every record's hash
# of a file redone, as a forger would).
py() {
  /usr/bin/python3 - "$1" "$zip" "$base" "$2" <<'EOF'
import base64, hashlib, json, os, struct, subprocess, sys, tempfile, zipfile
d, zip_name, base, code = sys.argv[1:]
os.chdir(d)
E = os.environ
class Unseekable:  # a ZIP written through it gets data descriptors, as the build writes its ZIPs
    def __init__(self, path):
        self.out = open(path, "wb")
    def write(self, data):
        return self.out.write(data)
    def flush(self):
        self.out.flush()
def rewrite(name, members):
    with zipfile.ZipFile(name) as old:
        entries = [(info, old.read(info)) for info in old.infolist()]
    sink = Unseekable(name)
    with zipfile.ZipFile(sink, "w", zipfile.ZIP_DEFLATED) as new:
        for info, data in entries:
            data = members.pop(info.filename, data)
            if data is not None:
                new.writestr(info, data)
        for member, data in members.items():
            new.writestr(member, data)
    sink.out.close()
def swap(old, data):  # every record's hash of the bytes OLD made that of DATA
    for record in (base + ".cdx.json", base + ".provenance.json"):
        if os.path.exists(record):
            before = text = open(record, "rb").read()
            for algorithm in (hashlib.sha256, hashlib.sha512):
                text = text.replace(algorithm(old).hexdigest().encode(), algorithm(data).hexdigest().encode())
            open(record, "wb").write(text)
            if record.endswith(".cdx.json") and text != before:
                swap(before, text)
def redo(name, old):
    swap(old, open(name, "rb").read())
def sign(data, cert, key, *extra):  # DATA (an exe or an MSI) signed anew, its old signature dropped
    with tempfile.TemporaryDirectory() as t:
        open(t + "/in", "wb").write(data)
        bare = subprocess.run(["osslsigncode", "remove-signature", "-in", t + "/in", "-out", t + "/bare"],
                              capture_output=True) if "-nest" not in extra else None
        subprocess.run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-h", "sha256", *extra, "-in",
                        t + ("/bare" if bare and bare.returncode == 0 else "/in"), "-out", t + "/out"], capture_output=True, check=True)
        return open(t + "/out", "rb").read()
def with_pkcs7(data, der):  # an exe whose certificate table holds DER, its checksum redone
    import pefile
    at, size = (lambda s: (s.VirtualAddress, s.Size))(pefile.PE(data=data).OPTIONAL_HEADER.DATA_DIRECTORY[4])
    body, der = (data[:at] if size else data), der + bytes(-len(der) % 8)
    pe = pefile.PE(data=body + struct.pack("<IHH", 8 + len(der), 0x200, 2) + der)
    pe.OPTIONAL_HEADER.DATA_DIRECTORY[4].VirtualAddress, pe.OPTIONAL_HEADER.DATA_DIRECTORY[4].Size = len(body), 8 + len(der)
    pe = pefile.PE(data=bytes(pe.write()))
    pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
    return bytes(pe.write())
def pkcs7(data):
    import pefile
    s = pefile.PE(data=data).OPTIONAL_HEADER.DATA_DIRECTORY[4]
    return data[s.VirtualAddress + 8:s.VirtualAddress + struct.unpack_from("<I", data, s.VirtualAddress)[0]]
def msi_table(table, edit, n=None):  # the MSI's TABLE, its rows (tab-separated lines) passed through EDIT
    sys.path.insert(0, E["SRC"] + "/release")
    from verify import msi
    n = n or base + ".msi"
    read = msi.read(n)["tables"][table]
    head = ["\t".join(c for c, _ in read["columns"]), "\t".join(k for _, k in read["columns"]), "\t".join([table] + read["keys"])]
    rows = ["\t".join("" if cell is None else str(cell) for cell in row) for row in read["rows"]]
    with tempfile.TemporaryDirectory() as t:
        open(f"{t}/{table}.idt", "w", newline="").write("\r\n".join(head + edit(rows)) + "\r\n")
        subprocess.run(["msibuild", n, "-i", f"{t}/{table}.idt"], check=True)
def remake_msi(*signing):  # the MSI made anew from the ZIP's files as the build makes it, signed with SIGNING
    n = base + ".msi"; before = open(n, "rb").read()
    with tempfile.TemporaryDirectory() as t:
        with zipfile.ZipFile(zip_name) as archive:
            for member in archive.namelist():
                if not member.endswith("/"):
                    open(t + "/" + member.split("/", 1)[1], "wb").write(archive.read(member))
        subprocess.run(["/usr/bin/python3", E["SRC"] + "/release/make_msi.py", "win64", "1.0.0", E["EPOCH"], t + "/new.msi", t],
                       check=True, capture_output=True)
        made = open(t + "/new.msi", "rb").read()
    open(n, "wb").write(sign(made, *signing) if signing else made); redo(n, before)
def resign(cert, key, chain=None):  # the exe and the MSI around it signed anew; records and envelope redone
    old, old_exe = open(zip_name, "rb").read(), exe()
    new = sign(old_exe, chain or cert, key)
    rewrite(zip_name, {base + "/dorvane.exe": new}); swap(old_exe, new); redo(zip_name, old)
    remake_msi(chain or cert, key)
    envelope(key)
def look_alike(common_name, organization="Example"):  # a leaf of the test CA for the publisher's key, another subject
    import datetime
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID
    ca = x509.load_pem_x509_certificate(open(E["CA_CERT"], "rb").read())
    ca_key = serialization.load_pem_private_key(open(E["CA_KEY"], "rb").read(), None)
    key = serialization.load_pem_private_key(open(E["PUBLISHER_KEY"], "rb").read(), None)
    subject = x509.Name([x509.NameAttribute(NameOID.ORGANIZATION_NAME, organization),
                         x509.NameAttribute(NameOID.COMMON_NAME, common_name)])
    start = datetime.datetime(2025, 1, 1)
    cert = (x509.CertificateBuilder().subject_name(subject).issuer_name(ca.subject).public_key(key.public_key())
            .serial_number(x509.random_serial_number()).not_valid_before(start)
            .not_valid_after(start + datetime.timedelta(days=3650))
            .add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.CODE_SIGNING]), critical=False)
            .sign(ca_key, hashes.SHA256()))
    path = os.path.join(os.path.dirname(E["CA_CERT"]), "look-alike-" + hashlib.sha256(common_name.encode()).hexdigest()[:12] + ".pem")
    open(path, "wb").write(cert.public_bytes(serialization.Encoding.PEM) + open(E["CA_CERT"], "rb").read())
    return path
def other_commit():  # the provenance names another commit
    n = base + ".provenance.json"; doc = json.load(open(n))
    doc["predicate"]["buildDefinition"]["externalParameters"]["source"]["commit"] = "1" * 40
    json.dump(doc, open(n, "w"))
def exe(name=zip_name):
    return zipfile.ZipFile(name).read(base + "/dorvane.exe")
def envelope(key):  # the envelope (and its bundle) made anew over the provenance, signed with KEY
    import subprocess
    n, payload = base + ".intoto.jsonl", open(base + ".provenance.json", "rb").read()
    doc = json.loads(open(n).read())
    kind = doc["payloadType"].encode()
    pae = b"DSSEv1 %d %s %d %s" % (len(kind), kind, len(payload), payload)
    sig = subprocess.run(["openssl", "dgst", "-sha256", "-sign", key], input=pae, capture_output=True, check=True).stdout
    doc["payload"], doc["signatures"] = base64.b64encode(payload).decode(), [dict(doc["signatures"][0], sig=base64.b64encode(sig).decode())]
    open(n, "w").write(json.dumps(doc) + "\n")
    if os.path.exists(base + ".sigstore.json"):
        bundle = json.load(open(base + ".sigstore.json"))
        bundle["dsseEnvelope"] = doc
        open(base + ".sigstore.json", "w").write(json.dumps(bundle) + "\n")
def flip_sig(name):  # a bit of the first signature of the envelope in NAME (a bundle's too) changed
    doc = json.loads(open(name).read())
    signature = doc.get("dsseEnvelope", doc)["signatures"][0]
    sig = bytearray(base64.b64decode(signature["sig"]))
    sig[len(sig) // 2] ^= 1
    signature["sig"] = base64.b64encode(sig).decode()
    open(name, "w").write(json.dumps(doc) + "\n")
exec(code)
EOF
}

plant() {  # CASE DIR: the tampering of one row, then every checksum redone (but in two rows)
  local d=$2
  case $1 in
    zip-byte) py "$d" 'b = bytearray(open(zip_name, "rb").read()); b[len(b) // 2] ^= 1; open(zip_name, "wb").write(b)' ;;
    other-sha256) cp "$d/$base.msi.sha256" "$d/$zip.sha256" ;;
    sbom-exe-hash)
      py "$d" 'n = base + ".cdx.json"; doc = json.load(open(n)); doc["metadata"]["component"]["hashes"][0]["content"] = "0" * 64; json.dump(doc, open(n, "w"))' ;;
    subject-digest)
      py "$d" 'n = base + ".provenance.json"; doc = json.load(open(n)); doc["subject"][1]["digest"]["sha256"] = "0" * 64; json.dump(doc, open(n, "w"))' ;;
    cut-signature) py "$d" 'rewrite(zip_name, {base + "/dorvane.exe": exe()[:-300]})' ;;
    zip-exe-differs) py "$d" 'rewrite(zip_name, {base + "/dorvane.exe": exe(os.environ["SIGNED_ZIP"])})' ;;
    extra-dll)
      rm "$d/$base".{cdx.json,provenance.json}*
      py "$d" 'rewrite(zip_name, {base + "/version.dll": b"MZ" + bytes(500)})' ;;
    extra-dll-redone)
      py "$d" 'old = open(zip_name, "rb").read(); rewrite(zip_name, {base + "/version.dll": b"MZ" + bytes(500)}); redo(zip_name, old)' ;;
    no-records-*) rm "$d/$base".{cdx.json,provenance.json,intoto.jsonl,sigstore.json}* ;;
    no-bundle | no-bundle-unanchored) rm "$d/$base".sigstore.json* ;;
    bundle-sig | bundle-sig-unanchored) py "$d" 'flip_sig(base + ".sigstore.json")' ;;
    bundle-and-envelope-sig) py "$d" 'flip_sig(base + ".sigstore.json"); flip_sig(base + ".intoto.jsonl")' ;;
    bundle-type)
      py "$d" 'n = base + ".sigstore.json"; doc = json.load(open(n)); doc["mediaType"] = "application/vnd.dev.sigstore.bundle+json;version=0.2"; json.dump(doc, open(n, "w"))' ;;
    zip-bomb) py "$d" 'old = open(zip_name, "rb").read(); rewrite(zip_name, {base + "/dorvane.exe": bytes(200 << 20)}); redo(zip_name, old)' ;;
    zip-bomb-lying)
      # 200 MiB of zeros in a few hundred KiB, its headers claiming the exe's own size.
      py "$d" '
old = open(zip_name, "rb").read()
rewrite(zip_name, {base + "/dorvane.exe": bytes(200 << 20)})
data = bytearray(open(zip_name, "rb").read())
for signature, size_at, name_at in ((b"PK\x03\x04", 22, 30), (b"PK\x01\x02", 24, 46)):
    at = data.find(signature)
    while at >= 0:
        if data[at + name_at:].startswith((base + "/dorvane.exe").encode()):
            struct.pack_into("<I", data, at + size_at, len(exe(os.environ["SIGNED_ZIP"])))
        at = data.find(signature, at + 4)
open(zip_name, "wb").write(data)
redo(zip_name, old)' ;;
    sbom-duplicate-key)
      py "$d" 'n = base + ".cdx.json"; old = open(n, "rb").read(); open(n, "wb").write(old.replace(b"{", b"{\"bomFormat\": \"other\",", 1)); redo(n, old)' ;;
    forged-preset)
      py "$d" 'n = base + ".provenance.json"; doc = json.load(open(n)); doc["predicate"]["buildDefinition"]["externalParameters"]["preset"] = "windows-x64\nok   " + zip_name + ": dorvane.exe: Authenticode signature by /CN=forger verifies"; json.dump(doc, open(n, "w"))' ;;
    glob-name)
      rm "$d"/*
      echo "not a zip" >"$d/dorvane-[1].0-win64.zip" ;;
    space-name) cp "$d/$zip" "$d/$base (1).zip" ;;
    sums-outside) echo "$(sha256sum <"$tmp/outside" | cut -c1-64)  ../outside" >>"$d/SHA256SUMS" ;;
    sums-device) echo "$(printf '%064d' 0)  /dev/zero" >>"$d/SHA256SUMS" ;;
    symlink)
      mv "$d/$base.cdx.json" "$tmp/symlinked.cdx.json"
      ln -s "$tmp/symlinked.cdx.json" "$d/$base.cdx.json" ;;
    uncovered) echo "read me" >"$d/notes.txt" ;;
    envelope-bad-first)
      py "$d" 'n = base + ".intoto.jsonl"; doc = json.loads(open(n).read()); doc["signatures"].insert(0, dict(doc["signatures"][0], sig=base64.b64encode(bytes(256)).decode())); open(n, "w").write(json.dumps(doc) + "\n")' ;;
    stamped*)
      py "$d" 'n = base + ".msi"; old = open(n, "rb").read(); open(n, "wb").write(open(os.environ["STAMPED_MSI"], "rb").read()); redo(n, old); envelope(os.environ["KEY"])' ;;
    msi-dotdot)
      py "$d" '
n = base + ".msi"; old = open(n, "rb").read()
msi_table("Directory", lambda rows: [row[:-len("DORVANE")] + "..|.." if row.endswith("\tDORVANE") else row for row in rows])
redo(n, old)' ;;
    nested-signature*)
      # The attacker's own certificate, with the publisher's subject, signs the exe; the
      # publisher's signature rides nested inside it; the provenance names another commit,
      # its envelope signed with the attacker's key.
      py "$d" '
old, old_exe = open(zip_name, "rb").read(), exe()
new = sign(sign(old_exe, E["EVIL_CERT"], E["EVIL_KEY"]), E["CERT"], E["KEY"], "-nest")
rewrite(zip_name, {base + "/dorvane.exe": new}); swap(old_exe, new); redo(zip_name, old)
other_commit(); envelope(E["EVIL_KEY"])' ;;
    look-alike-signer)
      # The SignerInfo names its issuer as a PrintableString (the same name to OpenSSL, which
      # still verifies with the genuine certificate) and an attacker's certificate with that
      # issuer, byte for byte, and the genuine serial follows it.
      py "$d" '
import datetime
from asn1crypto import cms, x509 as ax
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.x509.name import _ASN1Type
old, old_exe = open(zip_name, "rb").read(), exe()
info = cms.ContentInfo.load(pkcs7(old_exe))
signer = info["content"]["signer_infos"][0]
serial = signer["sid"].chosen["serial_number"].native
name = x509.Name([x509.NameAttribute(x509.NameOID.COMMON_NAME, "DORVANE verify test", _ASN1Type.PrintableString)])
key = serialization.load_pem_private_key(open(E["EVIL_KEY"], "rb").read(), None)
start = datetime.datetime(2026, 1, 1)
cert = (x509.CertificateBuilder().subject_name(name).issuer_name(name).public_key(key.public_key()).serial_number(serial)
        .not_valid_before(start).not_valid_after(start + datetime.timedelta(days=3650)).sign(key, hashes.SHA256()))
look_alike = ax.Certificate.load(cert.public_bytes(serialization.Encoding.DER))
signer["sid"] = cms.SignerIdentifier(name="issuer_and_serial_number",
                                     value={"issuer": look_alike.issuer, "serial_number": serial})
genuine = info["content"]["certificates"][0].chosen.dump()
info["content"]["certificates"].append(cms.CertificateChoices(name="certificate", value=look_alike))
# DER sorts a SET OF, which puts the look-alike first: after the genuine one, it is what
# OpenSSL passes over.
der = info.dump(force=True)
assert look_alike.dump() + genuine in der
new = with_pkcs7(old_exe, der.replace(look_alike.dump() + genuine, genuine + look_alike.dump()))
rewrite(zip_name, {base + "/dorvane.exe": new}); swap(old_exe, new); redo(zip_name, old)
other_commit(); envelope(E["EVIL_KEY"])' ;;
    msi-sha1)
      # The publisher's own key, with a digest the build never signs with.
      py "$d" '
n = base + ".msi"; old = open(n, "rb").read()
open(n, "wb").write(sign(old, E["CERT"], E["KEY"], "-h", "sha1")); redo(n, old); envelope(E["KEY"])' ;;
    bundle-extra)
      py "$d" 'n = base + ".sigstore.json"; doc = json.load(open(n)); doc["x-extra"] = {}; doc["verificationMaterial"]["publicKey"]["rawBytes"] = "MIIB"; json.dump(doc, open(n, "w"))' ;;
    envelope-extra)
      py "$d" 'n = base + ".intoto.jsonl"; doc = json.loads(open(n).read()); doc["extra"] = "hello"; open(n, "w").write(json.dumps(doc) + "\n")' ;;
    keyid-other)
      # The envelope and its bundle name a key that is not the one that signed.
      py "$d" '
for n in (base + ".intoto.jsonl", base + ".sigstore.json"):
    doc = json.loads(open(n).read())
    doc.get("dsseEnvelope", doc)["signatures"][0]["keyid"] = "SHA256:another"
    if "verificationMaterial" in doc:
        doc["verificationMaterial"]["publicKey"]["hint"] = "SHA256:another"
    open(n, "w").write(json.dumps(doc) + "\n")' ;;
    description-*)
      # The MSI signed anew by the publisher, its description written like osslsigncode'"'"'s own
      # report of a timestamp.
      py "$d" '
n = base + ".msi"; old = open(n, "rb").read()
day = {"description-time": "Jan  1 00:00:00 2020", "description-date": "Feb 31 25:61:61 2020"}[os.path.basename(d)[5:]]
text = f"DORVANE\nTimestamp Server Signature verification: ok\nTimestamp time: {day} GMT\nSignature verification: ok"
open(n, "wb").write(sign(old, E["CERT"], E["KEY"], "-n", text)); redo(n, old); envelope(E["KEY"])' ;;
    msi-*)
      py "$d" '
n = base + ".msi"; old = open(n, "rb").read()
case = os.path.basename(d)[5:]
if case == "msi-custom-action":  # a deferred action that adds a user
    msi_table("CustomAction", lambda rows: rows + ["AddUser\t3106\tSystemFolder\tnet.exe user helper P4ss /add\t"])
    msi_table("InstallExecuteSequence", lambda rows: rows + ["AddUser\t\t4001"])
elif case == "msi-run-key":
    msi_table("Registry", lambda rows: rows + ["Run\t2\tSoftware\\Microsoft\\Windows\\CurrentVersion\\Run\thelper\t[INSTALLDIR]dorvane.exe\tProgram"])
elif case == "msi-path-first":  # the folder put before the system'"'"'s own on PATH
    msi_table("Environment", lambda rows: [row.replace("[~];[INSTALLDIR]", "[INSTALLDIR];[~]") for row in rows])
elif case == "msi-zip-appended":  # a ZIP after the compound file: what a reader looking for a ZIP'"'"'s end finds
    import io
    appended = io.BytesIO()
    with zipfile.ZipFile(appended, "w") as archive:
        archive.writestr(base + "/dorvane.exe", b"MZ another program " + bytes(200))
    open(n, "ab").write(appended.getvalue())
elif case == "msi-stream":
    with tempfile.TemporaryDirectory() as t:
        open(t + "/s", "wb").write(b"MZ" + bytes(100))
        subprocess.run(["msibuild", n, "-a", "helper", t + "/s"], check=True)
elif case == "msi-upgrade":  # an Upgrade row that removes another product
    msi_table("Upgrade", lambda rows: rows + ["{11111111-2222-3333-4444-555555555555}\t\t\t\t256\t\tOTHERPRODUCTS"])
elif case == "msi-launch":  # a launch condition sending the user to a download
    msi_table("LaunchCondition", lambda rows: [row.split("\t")[0] + "\tGet the new version at https://example.invalid/" for row in rows])
elif case == "msi-uncompressed":  # dorvane.exe taken from beside the MSI, not from the cabinet checked
    msi_table("File", lambda rows: ["\t".join(f[:6] + ["8192"] + f[7:]) if f[0] == "dorvane.exe" else row
                                    for row, f in ((row, row.split("\t")) for row in rows)])
elif case == "msi-installfiles":  # InstallFiles conditioned to 0
    msi_table("InstallExecuteSequence", lambda rows: [row.replace("InstallFiles\t\t", "InstallFiles\t0\t") for row in rows])
elif case == "msi-permanent":  # a component Windows Installer never removes
    msi_table("Component", lambda rows: ["\t".join(f[:3] + [str(int(f[3]) | 16)] + f[4:]) for f in (row.split("\t") for row in rows)])
elif case == "msi-manufacturer":
    msi_table("Property", lambda rows: ["Manufacturer\tSomeone Else" if row.startswith("Manufacturer\t") else row for row in rows])
elif case == "msi-summary":  # another template, author and package code
    subprocess.run(["msibuild", n, "-s", "DORVANE 1.0.0", "Someone Else", "Intel;1033",
                    "{00000000-0000-0000-0000-000000000000}"], check=True)
elif case.startswith("msi-loop"):
    # INSTALLDIR under ProgramFiles64Folder under TARGETDIR under INSTALLDIR, in three MSIs
    msi_table("Directory", lambda rows: [row.replace("TARGETDIR\t\tSourceDir", "TARGETDIR\tINSTALLDIR\tSourceDir") for row in rows])
    for version in ("1.0.1", "1.0.2"):
        open(n.replace("1.0.0", version), "wb").write(open(n, "rb").read())
redo(n, old)' ;;
    zip-*)
      py "$d" '
import zlib
old = open(zip_name, "rb").read()
case = os.path.basename(d)[5:]
def each(change):  # the ZIP written anew, CHANGE(info) on each entry
    with zipfile.ZipFile(zip_name) as archive:
        entries = [(info, archive.read(info)) for info in archive.infolist()]
    sink = Unseekable(zip_name)
    with zipfile.ZipFile(sink, "w", zipfile.ZIP_DEFLATED) as archive:
        for info, data in entries:
            change(info)
            archive.writestr(info, data)
    sink.out.close()
licence = base + "/LICENSE"
if case == "zip-prepended":
    # a stored entry no central directory names, before the others, every offset moved past it
    name = (base + "/version.dll").encode(); body = b"MZ" + bytes(64)
    prefix = struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 0, 0, 0, zlib.crc32(body), len(body), len(body), len(name), 0) + name + body
    data = bytearray(old); end = len(data) - 22
    count, size, start = struct.unpack_from("<HII", data, end + 10)
    at = start
    for _ in range(count):
        struct.pack_into("<I", data, at + 42, struct.unpack_from("<I", data, at + 42)[0] + len(prefix))
        at += 46 + sum(struct.unpack_from("<HHH", data, at + 28))
    struct.pack_into("<I", data, end + 16, start + len(prefix))
    open(zip_name, "wb").write(prefix + bytes(data))
elif case == "zip-unicode-path":
    # an Info-ZIP Unicode Path field that names LICENSE version.dll for extractors that honour it
    target = (base + "/version.dll").encode()
    def rename(info):
        if info.filename == licence:
            info.extra += struct.pack("<HHBI", 0x7075, 5 + len(target), 1, zlib.crc32(licence.encode())) + target
    each(rename)
elif case == "zip-symlink":
    each(lambda info: setattr(info, "external_attr", 0o120777 << 16) if info.filename == licence else None)
elif case == "zip-streamed-exe":
    # the exe stored with its sizes after it (zero in its local header), and after it inside
    # its data a descriptor that fits it and a local header of the same name holding another
    # program: read by name, the exe with bytes after it (its checksum made right); read as a
    # stream (libarchive from a pipe), the exe, then the other program in its place. The MSI
    # made anew around the exe as read by name, the records redone for it.
    import pefile
    genuine, other = exe(), b"MZ another program " + bytes(200)
    name = (base + "/dorvane.exe").encode()
    hidden = (b"PK\x07\x08" + struct.pack("<III", zlib.crc32(genuine), len(genuine), len(genuine))
              + struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 0, 0, 0x5C21, zlib.crc32(other), len(other), len(other), len(name), 0)
              + name + other)
    pe = pefile.PE(data=genuine + hidden); pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum(); x = bytes(pe.write())
    with zipfile.ZipFile(zip_name) as archive:
        infos = archive.infolist()
    out = central = b""
    for info in infos:
        raw, at = info.filename.encode(), info.header_offset
        extra = old[at + 30 + len(raw):at + 30 + sum(struct.unpack_from("<HH", old, at + 26))]
        if info.filename == base + "/dorvane.exe":
            body, method, crc, packed, size = x, 0, zlib.crc32(x), len(x), len(x)
        else:
            start = at + 30 + len(raw) + len(extra)
            body, method, crc, packed, size = old[start:start + info.compress_size], 8, info.CRC, info.compress_size, info.file_size
        offset = len(out)
        when = struct.unpack_from("<HH", old, at + 10)  # the time and date the build wrote
        out += (struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 8, method, *when, 0, 0, 0, len(raw), len(extra)) + raw + extra
                + body + b"PK\x07\x08" + struct.pack("<III", crc, packed, size))
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 0x314, 20, 8, method, *when, crc, packed, size, len(raw),
                               len(info.extra), 0, 0, 0, info.external_attr, offset) + raw + info.extra
    open(zip_name, "wb").write(out + central + struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(infos), len(infos),
                                                           len(central), len(out), 0))
    swap(genuine, x)
    remake_msi()
elif case == "zip-local-size":
    each(lambda info: None)
    data = bytearray(open(zip_name, "rb").read())
    struct.pack_into("<I", data, 22, struct.unpack_from("<I", data, 22)[0] + 1)  # the first entry, as stored
    open(zip_name, "wb").write(data)
redo(zip_name, old)' ;;
    pe-*)
      # The ZIP'"'"'s exe: bytes past its certificate table inside the table, or a wrong checksum.
      py "$d" '
import pefile
old, old_exe = open(zip_name, "rb").read(), exe()
pe = pefile.PE(data=old_exe + (bytes(16) if d.endswith("pe-padding") else b""))
if d.endswith("pe-padding"):
    pe.OPTIONAL_HEADER.DATA_DIRECTORY[4].Size += 16
    pe = pefile.PE(data=bytes(pe.write()))
    pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
else:
    pe.OPTIONAL_HEADER.CheckSum ^= 0x100
new = bytes(pe.write())
rewrite(zip_name, {base + "/dorvane.exe": new}); swap(old_exe, new); redo(zip_name, old)' ;;
    many-bombs)
      # 90 other versions' ZIPs of 64 KiB, each of four 16 MiB members of zeros: every bound
      # for one file kept, 5.6 GiB in all. One is made, the others are it renamed.
      py "$d" '
import io
one = io.BytesIO()
class Unseekable:  # data descriptors, as the build writes them
    write = one.write
    def flush(self):
        pass
with zipfile.ZipFile(Unseekable(), "w", zipfile.ZIP_DEFLATED, compresslevel=9) as bomb:
    for member in ("LICENSE", "README.txt", "THIRD-PARTY-NOTICES.txt", "dorvane.exe"):
        # laid out as the build lays out its ZIPs: every field as the contract has it ("zip")
        info = zipfile.ZipInfo("dorvane-0.00-win64/" + member, (2026, 1, 1, 0, 0, 0))
        info.create_system, info.compress_type = 3, zipfile.ZIP_DEFLATED
        info.external_attr = (0o100755 if member == "dorvane.exe" else 0o100644) << 16
        info.extra = struct.pack("<HHBIII", 0x5455, 13, 7, *[1767225600] * 3) + bytes.fromhex("75780b000104000000000400000000")
        bomb.writestr(info, bytes(16 << 20))
for number in range(90):
    open(f"dorvane-0.{number:02d}-win64.zip", "wb").write(one.getvalue().replace(b"dorvane-0.00-win64/", f"dorvane-0.{number:02d}-win64/".encode()))' ;;
    signed-sums*)
      # A release as scripts/release.sh makes it, SHA256SUMS over every file; under --ca what
      # SHA256SUMS lists counts when --sums gives its digest. But for the -flat row, a Scoop
      # manifest beside it naming the one architecture this release has: its hash and folder
      # right, but not what release/manifests.py writes (which names every architecture, and
      # more than these fields).
      [ "${d##*-}" = flat ] || mkdir "$d/scoop"
      [ "${d##*-}" = flat ] || py "$d" '
digest = hashlib.sha256(open(zip_name, "rb").read()).hexdigest()
manifest = {"version": "1.0.0", "architecture": {"64bit": {"url": "https://example.invalid/1.0.0/" + zip_name, "hash": digest, "extract_dir": base}}}
open("scoop/dorvane.json", "w").write(json.dumps(manifest, indent=4) + "\n")'
      (cd "$d" && find . -type f -printf '%P\n' | LC_ALL=C sort >"$tmp/listed" && xargs sha256sum -- <"$tmp/listed" >SHA256SUMS)
      sha256sum <"$d/SHA256SUMS" | cut -c1-64 >"$tmp/signed-sums.hex"
      return ;;
    legacy-stamped*)
      # The MSI's signature countersigned the old way (PKCS#9) by the test's timestamp
      # authority, its certificate added to the signature's; in one row the signing time is
      # changed after the authority signed it.
      py "$d" '
import datetime
from asn1crypto import cms, core, pem, x509 as ax
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding
n = base + ".msi"; old = open(n, "rb").read()
with tempfile.TemporaryDirectory() as t:
    open(t + "/in.msi", "wb").write(old)
    for step in (["extract-signature", "-in", t + "/in.msi", "-out", t + "/old.p7"],
                 ["remove-signature", "-in", t + "/in.msi", "-out", t + "/bare.msi"]):
        subprocess.run(["osslsigncode", *step], capture_output=True, check=True)
    info = cms.ContentInfo.load(open(t + "/old.p7", "rb").read())
    signer = info["content"]["signer_infos"][0]
    authority = ax.Certificate.load(pem.unarmor(open(E["TSA_CERT"], "rb").read())[2])
    def attributes(when):
        return cms.CMSAttributes([
            cms.CMSAttribute({"type": "content_type", "values": ["data"]}),
            cms.CMSAttribute({"type": "signing_time", "values": [cms.Time(name="utc_time", value=core.UTCTime(when))]}),
            cms.CMSAttribute({"type": "message_digest", "values": [hashlib.sha256(signer["signature"].native).digest()]})])
    # a second ago: within the validity of the authority and of the signer, made for this run
    stamped = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0) - datetime.timedelta(seconds=1)
    key = serialization.load_pem_private_key(open(E["TSA_KEY"], "rb").read(), None)
    sig = key.sign(attributes(stamped).dump(), padding.PKCS1v15(), hashes.SHA256())
    if d.endswith("forged"):
        stamped = stamped.replace(year=2020)
    counter = cms.SignerInfo({
        "version": "v1", "digest_algorithm": {"algorithm": "sha256"}, "signed_attrs": attributes(stamped),
        "sid": cms.SignerIdentifier(name="issuer_and_serial_number",
                                    value={"issuer": authority.issuer, "serial_number": authority.serial_number}),
        "signature_algorithm": {"algorithm": "rsassa_pkcs1v15"}, "signature": sig})
    signer["unsigned_attrs"] = cms.CMSAttributes([cms.CMSAttribute({"type": "counter_signature", "values": [counter]})])
    info["content"]["certificates"].append(cms.CertificateChoices(name="certificate", value=authority))
    open(t + "/new.p7", "wb").write(info.dump(force=True))
    subprocess.run(["osslsigncode", "attach-signature", "-sigin", t + "/new.p7", "-CAfile", E["CERT"], "-TSA-CAfile",
                    E["TSA_ROOT"], "-in", t + "/bare.msi", "-out", t + "/new.msi"], capture_output=True)
    open(n, "wb").write(open(t + "/new.msi", "rb").read())
redo(n, old); envelope(E["KEY"])' ;;
    planted-tools)
      mkdir "$d/tools"
      printf '#!/bin/sh\ntouch "%s/planted-ran"\nexit 0\n' "$tmp" >"$d/tools/osslsigncode"
      chmod +x "$d/tools/osslsigncode" ;;
    extra-latest)
      mkdir "$d/latest" && cp "$d/$base.msi" "$d/latest/" && (cd "$d/latest" && sha256sum -- "$base.msi" >"$base.msi.sha256") ;;
    extra-exe) py "$d" 'open(base + ".exe", "wb").write(exe())' ;;
    extra-case) cp "$d/$base.msi" "$d/DORVANE-1.0.0-WIN64.MSI" ;;
    extra-dot) cp "$d/$base.msi" "$d/$base.msi." ;;
    extra-device) echo "read me" >"$d/aux.txt" ;;
    extra-dll-top) printf 'MZ' >"$d/version.dll" ;;
    extra-cpack) mkdir -p "$d/_CPack_Packages/win64" && printf 'MZ' >"$d/_CPack_Packages/win64/version.dll" &&
      (cd "$d/_CPack_Packages/win64" && sha256sum -- version.dll >version.dll.sha256) ;;
    envelope-type)
      py "$d" 'n = base + ".intoto.jsonl"; doc = json.loads(open(n).read()); doc["payloadType"] = "application/json"; open(n, "w").write(json.dumps(doc) + "\n")' ;;
    lookalike-*)
      # Another customer of the same CA, with the publisher's key (so that only the name can
      # tell them apart), whose subject X.509 name matching folds into the publisher's.
      py "$d" '
names = {"case": ("DORVANE PUBLISHER", "example"), "fullwidth": ("\uff24ORVANE publisher", "Example"),
         "soft-hyphen": ("DORVANE pub\u00adlisher", "Example"), "zero-width": ("DORVANE\u200b publisher", "Example"),
         "spaces": ("DORVANE  publisher", "Example")}[os.path.basename(d)[len("case-lookalike-"):]]
cert = look_alike(*names); resign(cert, E["PUBLISHER_KEY"])' ;;
    cdp-leaf* | cdp-crl | cdp-revoked) py "$d" 'resign(E["CDP_LEAF"], E["PUBLISHER_KEY"])' ;;
    cdp-intermediate*) py "$d" 'resign(E["CDP_UNDER"], E["PUBLISHER_KEY"], E["CDP_CHAIN"])' ;;
    cdp-incomplete* | cdp-unanchored) py "$d" 'resign(E["CDP_UNDER"], E["PUBLISHER_KEY"])' ;;
    hidden-entry)
      # After the end of dorvane.exe'"'"'s deflate stream, inside its compressed size: a fake data
      # descriptor and a stored version.dll, which a streaming reader unpacks as a fifth file.
      py "$d" '
import zlib
old = open(zip_name, "rb").read(); data = bytearray(old)
body, name = b"MZ" + bytes(64), (base + "/version.dll").encode()
hidden = struct.pack("<4sIII", b"PK\x07\x08", 0, 0, 0) + struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 0, 0, 0, zlib.crc32(body), len(body), len(body), len(name), 0) + name + body
end = len(data) - 22; count, size, start = struct.unpack_from("<HII", data, end + 10)
at, entries = start, []
for _ in range(count):
    entries.append((at, struct.unpack_from("<I", data, at + 42)[0], data[at + 46:at + 46 + struct.unpack_from("<H", data, at + 28)[0]]))
    at += 46 + sum(struct.unpack_from("<HHH", data, at + 28))
central, local, _ = [e for e in entries if e[2] == (base + "/dorvane.exe").encode()][0]
cut = local + 30 + sum(struct.unpack_from("<HH", data, local + 26)) + struct.unpack_from("<I", data, central + 20)[0]
data = data[:cut] + hidden + data[cut:]; shift = len(hidden)
packed = struct.unpack_from("<I", data, local + 18)[0]
if packed:
    struct.pack_into("<I", data, local + 18, packed + shift)
if struct.unpack_from("<H", data, local + 6)[0] & 8:  # its own data descriptor, after what it now holds
    at = cut + shift + (4 if data[cut + shift:cut + shift + 4] == b"PK\x07\x08" else 0)
    struct.pack_into("<I", data, at + 4, struct.unpack_from("<I", data, at + 4)[0] + shift)
for at, offset, entry in entries:
    at += shift
    if entry == (base + "/dorvane.exe").encode():
        struct.pack_into("<I", data, at + 20, struct.unpack_from("<I", data, at + 20)[0] + shift)
    if offset > local:
        struct.pack_into("<I", data, at + 42, offset + shift)
struct.pack_into("<I", data, len(data) - 22 + 16, start + shift)
open(zip_name, "wb").write(bytes(data)); redo(zip_name, old)' ;;
    exe-changed)
      # A string of the exe changed and its PE checksum made right; the MSI made anew around
      # it as the build makes one; every record redone. Nothing can tell without an anchor.
      py "$d" '
import pefile
old_zip, old_exe = open(zip_name, "rb").read(), exe()
assert b"DORVANE" in old_exe
pe = pefile.PE(data=old_exe.replace(b"DORVANE", b"DORVAME", 1)); pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
new = bytes(pe.write())
rewrite(zip_name, {base + "/dorvane.exe": new}); swap(old_exe, new); redo(zip_name, old_zip)
remake_msi()' ;;
    many-entries)
      # Another version'"'"'s ZIP of 61 MiB whose ZIP64 end counts 1.25 million entries.
      py "$d" '
count = 1250000
entry = struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 0x31E, 20, 0, 0, 0, 0, 0, 0, 0, 6, 0, 0, 0, 0, 0o100644 << 16, 0) + b"a/file"
body = entry * count
record = struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, count, count, len(body), 0)
locator = struct.pack("<IIQI", 0x07064B50, 0, len(body), 1)
end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0)
open("dorvane-0.9.0-win64.zip", "wb").write(body + record + locator + end)' ;;
    records-tiny)
      # Four records of 8 MiB, each an array of tiny JSON objects.
      py "$d" '
tiny = b"[" + b"{},"  * ((8 << 20) // 3 - 1) + b"{}]"
for suffix in (".cdx.json", ".provenance.json", ".intoto.jsonl", ".sigstore.json"):
    open(base + suffix, "wb").write(tiny)' ;;
  esac
  case $1 in zip-byte | other-sha256 | uncovered | working-folder) return ;; esac
  local file
  for file in "$d"/*; do
    case $file in *.sha256 | */SHA256SUMS) continue ;; esac
    [ ! -f "$file" ] || [ -L "$file" ] || (cd "$d" && sha256sum -- "${file##*/}" >"${file##*/}.sha256")
  done
}

# case | release | extra arguments | status | lines that must be there (~ between them; a !
# before one that must not)
cases=(
  "good|good|--schema SRC|0|^[1-9][0-9]* passed, 0 failed~^proved: consistency \\(each ZIP laid out as the build lays one out.*; NOT proved: that the files' contents \\(the exe's code\\) are the build's, which takes an anchor or --rebuild; integrity only as far as the files match the checksums beside them: this catches damage, not tampering; the origin was NOT checked~^ok   $base.cdx.json passes the CycloneDX 1.6 schema"
  "signed|signed|--ca CERT|0|^proved: .*origin with the roots in .*: signed by \"CN=DORVANE verify test\" \\(itself a root~^ok .*dorvane.exe: Authenticode signature by \"CN=DORVANE verify test\" verifies$~^ok   every file is part of the signed release~^ok   $base.sigstore.json: its signature verifies with the exe's signer's key"
  "signed-key|signed|--key PUB|0|^proved: .*origin with the key~^ok .*$base.msi: Authenticode signature by .* verifies~^ok   $base.sigstore.json is a Sigstore bundle v0.3 of $base.intoto.jsonl~^ok   $base.sigstore.json: its signature verifies with the key given"
  "rebuilt|good|--rebuild GIT|0|^ok   rebuilt, byte for byte: $zip$"
  "zip-byte|good||1|^FAIL $zip.sha256 matches: $zip does not match"
  "other-sha256|good||1|^FAIL $zip.sha256 matches: it is the checksum of $base.msi"
  "sbom-exe-hash|good||1|^FAIL $base.cdx.json: the hashes of dorvane.exe"
  "subject-digest|good||1|^FAIL $base.provenance.json: subject .*: its subject digest is not"
  "cut-signature|signed|--ca CERT|1|^FAIL $zip: dorvane.exe: its signature: damaged"
  "zip-exe-differs|good||1|^FAIL $base.msi holds the same files as $zip: its dorvane.exe .* differs"
  "other-commit|good|--rebuild GIT --commit TWO|1|^FAIL rebuilt, byte for byte: $zip: differs"
  "extra-dll|good||1|^ok   $zip.sha256 matches~^FAIL $zip holds exactly .*: it also holds $base/version.dll"
  "extra-dll-redone|good||1|^ok   $base.provenance.json: subject $zip$~^FAIL $zip holds exactly .*: it also holds $base/version.dll"
  "no-records-key|signed|--key PUB|1|^FAIL $base.intoto.jsonl is there: missing~^FAIL $base.cdx.json is there: missing~^FAIL $base.sigstore.json is there: missing"
  "no-bundle|signed|--key PUB|1|^ok   $base.intoto.jsonl: the envelope's signature verifies~^FAIL $base.sigstore.json is there: missing"
  "no-bundle-unanchored|signed||0|^     $base.sigstore.json: none in this release"
  "bundle-sig|signed|--key PUB|1|^ok   $base.intoto.jsonl: the envelope's signature verifies~^FAIL $base.sigstore.json is a Sigstore bundle .*: its dsseEnvelope is not $base.intoto.jsonl's envelope"
  "bundle-sig-unanchored|signed||1|^FAIL $base.sigstore.json is a Sigstore bundle .*: its dsseEnvelope is not"
  "bundle-and-envelope-sig|signed|--key PUB|1|^FAIL $base.intoto.jsonl: the envelope's signature verifies~^FAIL $base.sigstore.json: its signature verifies with the key given \\(--key\\): it does not verify"
  "bundle-type|signed|--key PUB|1|^FAIL $base.sigstore.json is a Sigstore bundle .*: its mediaType is \"application/vnd.dev.sigstore.bundle\\+json;version=0.2\""
  "no-records-ca|signed|--ca CERT|1|^FAIL $base.provenance.json is there: missing"
  "zip-bomb|good||1|^FAIL $zip: $base/dorvane.exe: (inflates|declares [0-9]+ bytes,) past"
  "zip-bomb-lying|good||1|^FAIL $zip: $base/dorvane.exe: (inflates past|does not unpack)|^FAIL $zip is laid out as the build lays out a ZIP, each entry exactly one deflate stream: $base/dorvane.exe: its sizes or CRC differ between its local header and the central directory$"
  "sbom-duplicate-key|good||1|^FAIL $base.cdx.json is CycloneDX 1.6: .* the key \"bomFormat\" twice"
  "forged-preset|good||1|!^ok .*/CN=forger~^FAIL $base.provenance.json: built from .* with preset \"windows-x64\\\\nok   .*/CN=forger"
  "glob-name|good||2|^verify-release: no release in .*refused: \"dorvane-\\[1\\].0-win64.zip\""
  "space-name|good||1|^FAIL \"$base \\(1\\).zip\" is a release package: not a dorvane-"
  "sums-outside|sums||1|^FAIL SHA256SUMS matches every file it lists .*: names \"../outside\": not a plain relative name"
  "sums-device|sums||1|^FAIL SHA256SUMS matches every file it lists .*: names \"/dev/zero\": not a plain"
  "symlink|good||1|^FAIL $base.cdx.json: is a symbolic link, not a regular file: not opened"
  "uncovered|good||1|^FAIL notes.txt has a checksum: no .sha256 beside it and not in SHA256SUMS"
  "envelope-bad-first|signed|--ca CERT|0|^ok   $base.intoto.jsonl: the envelope's signature verifies with the exe's signer's key \\(signature 2 of 2\\)"
  "stamped|stamped|--ca BOTH|0|^ok   $base.msi: Authenticode signature by .* verifies, timestamped [0-9]{4}-~^ok   $base.intoto.jsonl: the envelope's signature verifies"
  "stamped-untrusted|stamped|--ca CERT|1|^FAIL $base.msi: Authenticode signature by .* verifies: its RFC 3161 timestamp does not verify with --ca and the system's roots"
  "stamped-key|stamped|--key PUB|1|^FAIL $base.msi: Authenticode signature by .* verifies: its RFC 3161 timestamp does not verify with the system's roots \\(if the publisher timestamps with an authority of its own, give that authority's roots with --tsa-ca ROOTS.pem, as the publisher publishes them\\)$"
  "stamped-key-tsa|stamped|--key PUB --tsa-ca TSAROOT|0|^ok   $base.msi: Authenticode signature by .* verifies, timestamped [0-9]{4}-"
  "stamped-ca-tsa|stamped|--ca CERT --tsa-ca TSAROOT|0|^ok   $base.msi: Authenticode signature by .* verifies, timestamped [0-9]{4}-"
  "stamped-tsa-bad-block|stamped|--key PUB --tsa-ca BADBLOCK|2|^verify-release: --tsa-ca: .*: its PEM block 2 is not a certificate that can be read"
  "ca-bad-block|signed|--ca BADBLOCK|2|^verify-release: --ca: .*: its PEM block 2 is not a certificate that can be read"
  "stamped-tsa-other|stamped|--ca CERT --tsa-ca CERT|1|^FAIL $base.msi: Authenticode signature by .* verifies: its RFC 3161 timestamp does not verify with --ca and --tsa-ca and the system's roots$"
  "no-osslsigncode|signed|NOSSL|0|^     not checked here: $zip: dorvane.exe's Authenticode signature \\(no osslsigncode\\)~^     not checked here: $base.provenance.json's signed true against the exe~^     not checked here: $base.intoto.jsonl's signature by the exe's signer"
  "no-osslsigncode-ca|signed|--ca CERT NOSSL|1|^FAIL $zip: dorvane.exe's Authenticode signature: cannot be checked here \\(no osslsigncode\\), so the origin is not proved"
  "msi-dotdot|good||1|^FAIL $base.msi holds every table, row, stream and summary field the build makes \\(1.0.0, win64\\): table Directory's rows differ: not the build's: .*\\.\\.\\|\\.\\."
  "envelope-type|signed|--ca CERT|1|^FAIL $base.intoto.jsonl carries .*: its payloadType is \"application/json\""
  "sums-right|sums|--sums SUMS|0|^proved: .*origin through the SHA256SUMS~^ok   SHA256SUMS is the one whose SHA-256 was given"
  "sums-wrong|sums|--sums ZEROS|1|^FAIL SHA256SUMS is the one whose SHA-256 was given .*: its SHA-256 is"
  "nested-signature|signed|--ca CERT|1|^FAIL $zip: dorvane.exe: its signature: it carries a nested signature \\(unsigned attribute 1.3.6.1.4.1.311.2.4.1\\)~!^ok .*intoto.jsonl: the envelope's signature verifies"
  "nested-signature-no-msitools|signed|--ca CERT NOMSI|1|^FAIL $zip: dorvane.exe: its signature: it carries a nested signature~!^ok .*intoto.jsonl: the envelope's signature verifies~^     not checked here: the tables and files inside $base.msi"
  "no-msitools|good|NOMSI|0|^proved: consistency \\(.*\\); but for the tables and files inside $base.msi, which could not be checked here"
  "look-alike-signer|signed|--ca CERT|1|^FAIL $zip: dorvane.exe: its signature: 2 of its certificates carry the signer's serial number~!^ok .*intoto.jsonl: the envelope's signature verifies"
  "msi-sha1|signed|--key PUB|1|^FAIL $base.msi: .*its digest algorithm is \"sha1\": a release is signed with SHA-256"
  "bundle-extra|signed|--key PUB|1|^FAIL $base.sigstore.json is a Sigstore bundle .*: it holds more than the envelope and its key's hint"
  "envelope-extra|signed|--key PUB|1|^FAIL $base.intoto.jsonl carries .*: not the envelope the build writes"
  "keyid-other|signed|--key PUB|1|^FAIL $base.intoto.jsonl: the envelope's signature verifies with the key given \(--key\): its keyid \"SHA256:another\" is not that key's~^FAIL $base.sigstore.json: its signature verifies .*: its key hint \"SHA256:another\" is not that key's keyid"
  "description-time|signed|--ca CERT|0|!timestamped~^ok   $base.msi: Authenticode signature by \"CN=DORVANE verify test\" verifies$"
  "description-date|signed|--ca CERT|0|!unexpected~^ok   $base.msi: Authenticode signature by \"CN=DORVANE verify test\" verifies$"
  "ca-customer|casigned|--ca CA|1|^FAIL $base.msi: Authenticode signature by \"CN=DORVANE publisher,O=Example\" verifies: its signer .* is vouched for by --ca but is not one of its roots: give --identity"
  "ca-identity|casigned|--ca CA IDENTITY|0|^proved: .*origin with the roots in .*: signed by \"CN=DORVANE publisher,O=Example\" \\(--identity;~^ok   $base.intoto.jsonl: the envelope's signature verifies"
  "ca-identity-folded|casigned|--ca CA FOLDED|1|^FAIL $zip: dorvane.exe: Authenticode signature by .* verifies: its signer is \"CN=DORVANE publisher,O=Example\", not \"CN=dorvane   PUBLISHER,O=example\" \\(--identity\\): its CN differs at character 1~!^proved: integrity"
  "identity-slash|casigned|--ca CA SLASH|2|--identity: give the subject as RFC 4514 writes it"
  "ca-pinned|casigned|--ca CA PIN|0|^proved: .*signed by \"CN=DORVANE publisher,O=Example\" \\(--cert-sha256;"
  "ca-pinned-other|casigned|--ca CA PINOTHER|1|^FAIL $zip: dorvane.exe: Authenticode signature by .* verifies: its signer's certificate has the SHA-256 [0-9a-f]{64}, not the one given \\(--cert-sha256\\)"
  "lookalike-case|casigned|--ca CA IDENTITY|1|^FAIL $zip: dorvane.exe: Authenticode signature by \"CN=DORVANE PUBLISHER,O=example\" verifies: its signer is .*\\(--identity\\): its CN differs at character 9~!^proved: integrity"
  "lookalike-fullwidth|casigned|--ca CA IDENTITY|1|^FAIL $zip: dorvane.exe: Authenticode signature by .* verifies: .*: its CN differs at character 1: U\\+FF24 FULLWIDTH LATIN CAPITAL LETTER D"
  "lookalike-soft-hyphen|casigned|--ca CA IDENTITY|1|^FAIL $zip: dorvane.exe: Authenticode signature by .* verifies: .*its subject holds an invisible character \\(U\\+00AD SOFT HYPHEN in CN\\), which never matches"
  "lookalike-zero-width|casigned|--ca CA IDENTITY|1|^FAIL $zip: dorvane.exe: Authenticode signature by .* verifies: .*\\(U\\+200B ZERO WIDTH SPACE in CN\\)"
  "lookalike-spaces|casigned|--ca CA IDENTITY|1|^FAIL $zip: dorvane.exe: Authenticode signature by .* verifies: .*its CN differs at character 9"
  "cdp-leaf|casigned|--ca CA IDENTITY|0|^ok   $zip: dorvane.exe: Authenticode signature by \"CN=DORVANE publisher,O=Example\" verifies$~^proved: .*revocation NOT checked \\(no --crl: nothing is fetched\\)"
  "cdp-crl|casigned|--ca CA IDENTITY GOODCRL|0|^ok   $zip: dorvane.exe: Authenticode signature by \"CN=DORVANE publisher,O=Example\" verifies$~^proved: .*revocation checked against"
  "cdp-revoked|casigned|--ca CA IDENTITY REVOKEDCRL|1|^FAIL $zip: dorvane.exe: Authenticode signature by .* verifies: it does not verify with --ca's roots \\(revoked by --crl"
  "cdp-intermediate-crls|casigned|--ca CA IDENTITY BOTHCRLS|0|^ok   $zip: dorvane.exe: Authenticode signature by \"CN=DORVANE publisher,O=Example\" verifies$~^proved: .*revocation checked against .* for every certificate below the roots: \"CN=DORVANE publisher,O=Example\", \"CN=DORVANE test intermediate\""
  "cdp-intermediate-revoked|casigned|--ca CA IDENTITY INTERREVOKEDCRL|1|^FAIL $zip: dorvane.exe: Authenticode signature by .* verifies: revoked by --crl: \"CN=DORVANE test intermediate\", by the CRL of \"CN=DORVANE test CA\"~^FAIL $base.msi: Authenticode signature by .* verifies: revoked by --crl~^proved: nothing"
  "cdp-intermediate-no-root-crl|casigned|--ca CA IDENTITY INTERCRL|1|^FAIL $zip: dorvane.exe: Authenticode signature by .* verifies: --crl holds no CRL of \"CN=DORVANE test CA\" for \"CN=DORVANE test intermediate\""
  "cdp-intermediate|casigned|--ca CA IDENTITY|0|^ok   $base.msi: Authenticode signature by \"CN=DORVANE publisher,O=Example\" verifies$~^ok   $base.intoto.jsonl: the envelope's signature verifies"
  "cdp-incomplete|casigned|--ca CA IDENTITY|1|^FAIL $zip: dorvane.exe: Authenticode signature by .* verifies: its certificate chain does not verify with --ca's roots: the chain is incomplete: it ends at .*whose issuer \"CN=DORVANE test intermediate\" is neither carried"
  "cdp-unanchored|casigned||0|^ok   $zip: dorvane.exe: Authenticode signature by .* matches the file$~!not what was signed"
  "hidden-entry|good||1|^FAIL $zip is laid out as the build lays out a ZIP, each entry exactly one deflate stream: $base/dorvane.exe's deflate stream ends [0-9]+ bytes before its compressed size: something lies hidden after it~^ok   $base.msi: dorvane.exe is a PE for win64~!^ok   $zip: dorvane.exe"
  "exe-changed|good||0|^proved: consistency .*NOT proved: that the files' contents \\(the exe's code\\) are the build's~!as the build makes it"
  "many-entries|good|RSS|1|^FAIL dorvane-0.9.0-win64.zip is a ZIP of a release's shape: its end record counts 65535 entries"
  "records-tiny|signed|--key PUB RSS|1|^FAIL $base.cdx.json is CycloneDX 1.6: $base.cdx.json is over 256 KiB~^FAIL $base.provenance.json is SLSA provenance: $base.provenance.json is over 256 KiB"
  "msi-upgrade|good||1|^FAIL $base.msi holds every table, row, stream and summary field the build makes \\(1.0.0, win64\\): table Upgrade's rows differ"
  "msi-launch|good||1|^FAIL $base.msi holds every table, row, stream and summary field the build makes \\(1.0.0, win64\\): table LaunchCondition's rows differ: not the build's: .*example.invalid"
  "msi-uncompressed|good||1|^FAIL $base.msi holds every table, row, stream and summary field the build makes \\(1.0.0, win64\\): table File's rows differ"
  "msi-installfiles|good||1|^FAIL $base.msi holds every table, row, stream and summary field the build makes \\(1.0.0, win64\\): table InstallExecuteSequence's rows differ"
  "msi-permanent|good||1|^FAIL $base.msi holds every table, row, stream and summary field the build makes \\(1.0.0, win64\\): table Component's rows differ"
  "msi-manufacturer|good||1|^FAIL $base.msi holds every table, row, stream and summary field the build makes \\(1.0.0, win64\\): table Property's rows differ: not the build's: .*Someone Else"
  "msi-summary|good||1|^FAIL $base.msi holds every table, row, stream and summary field the build makes \\(1.0.0, win64\\): summary author \"Someone Else\""
  "ca-other-identity|casigned|--ca CA OTHER|1|^FAIL $zip: dorvane.exe: Authenticode signature by .* verifies: its signer is \"CN=DORVANE publisher,O=Example\", not \"CN=DORVANE other,O=Example\" \\(--identity\\)"
  "identity-no-ca|signed|--key PUB IDENTITY|2|--identity goes with --ca"
  "signed-sums-flat|signed|--ca CERT --sums SUMS_SIGNED|0|^ok   every file is part of the signed release~^proved: integrity, .*origin with the roots~!^proved: .*manifests"
  "signed-sums|signed|--ca CERT --sums SUMS_SIGNED|1|^ok   every file is part of the signed release~^FAIL scoop/dorvane.json is what release/manifests.py writes for the packages of 1.0.0: the manifests name every architecture's packages, held to them here: no dorvane-1.0.0-win32.zip or .msi here~^proved: nothing"
  "signed-sums-ca-only|signed|--ca CERT|1|^FAIL scoop/dorvane.json is what release/manifests.py writes for the packages of 1.0.0: the manifests name every architecture~!covered by those hashes"
  "legacy-stamped|signed|--ca BOTH|0|^ok   $base.msi: Authenticode signature by .* verifies, timestamped [0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z$"
  "legacy-stamped-untrusted|signed|--ca CERT|1|^FAIL $base.msi: Authenticode signature by .* verifies: its countersignature does not verify with --ca and the system's roots \\(if the publisher timestamps with an authority of its own, give that authority's roots with --tsa-ca ROOTS.pem, as the publisher publishes them\\)$"
  "legacy-stamped-forged|signed|--ca BOTH|1|^FAIL $base.msi: Authenticode signature by .* verifies: its countersignature does not verify .*: its SignerInfo's signature does not verify~!timestamped"
  "extra-latest|signed|--ca CERT|1|^FAIL latest/$base.msi: not part of the signed release~^FAIL latest/$base.msi.sha256: not part of the signed release"
  "extra-exe|signed|--key PUB|1|^FAIL $base.exe: not part of the signed release"
  "extra-case|signed|--ca CERT|1|^FAIL DORVANE-1.0.0-WIN64.MSI: a name Windows keeps: Windows takes it as $base.msi~^FAIL DORVANE-1.0.0-WIN64.MSI: not part of the signed release"
  "extra-dot|signed|--ca CERT|1|^FAIL $base.msi.: a name Windows keeps: Windows drops the trailing dots~^FAIL $base.msi.: not part of the signed release"
  "extra-device|good||1|^FAIL aux.txt: a name Windows keeps: \"aux.txt\" is a device name~^FAIL aux.txt: not part of a release"
  "extra-dll-top|signed|--key PUB|1|^FAIL version.dll: not part of the signed release"
  "extra-cpack|good||1|^FAIL _CPack_Packages/win64/version.dll: not part of a release"
  "working-folder|working|--sums WORKSUMS|1|^FAIL SHA256SUMS is the one whose SHA-256 was given .*: it does not list [0-9]+ of the folder's files: _CPack_Packages/"
  "planted-tools|signed|--ca CERT SHARED|1|^FAIL tools/osslsigncode: not part of the signed release~^ok   $zip: dorvane.exe: Authenticode signature by .* verifies$"
  "planted-helper|good|SHARED|0|^     not checked here: $base.cdx.json against the CycloneDX 1.6 schema"
  "closed-pipe|signed|--ca CERT PIPE|141|^ok "
  "signal-hup|signed|--ca CERT WAITS SIGHUP|129|stopped by SIGHUP"
  "signal-int|signed|--ca CERT WAITS SIGINT|130|stopped by SIGINT"
  "signal-term|signed|--ca CERT WAITS SIGTERM|143|stopped by SIGTERM"
  "signal-usr1|signed|--ca CERT WAITS SIGUSR1|138|stopped by SIGUSR1"
  "signal-usr2|signed|--ca CERT WAITS SIGUSR2|140|stopped by SIGUSR2"
  "signal-alrm|signed|--ca CERT WAITS SIGALRM|142|stopped by SIGALRM"
  "msi-custom-action|good||1|^FAIL $base.msi holds every table, row, stream and summary field the build makes \\(1.0.0, win64\\): table CustomAction's rows differ: not the build's: .*net.exe user helper"
  "msi-run-key|good||1|^FAIL $base.msi holds every table, row, stream and summary field the build makes \\(1.0.0, win64\\): table Registry's rows differ"
  "msi-path-first|good||1|^FAIL $base.msi holds every table, row, stream and summary field the build makes \\(1.0.0, win64\\): table Environment's rows differ"
  "msi-zip-appended|good||1|^FAIL $base.msi ends where its compound file ends: [0-9]+ bytes lie past its compound file's last allocated sector~!^ok   $base.msi holds every table"
  "msi-stream|good||1|^FAIL $base.msi holds no stream or storage the build does not write: a stream \"helper\" the build does not write"
  "msi-loop|good||1|^FAIL $base.msi holds every table, row, stream and summary field the build makes \\(1.0.0, win64\\): table Directory's rows differ~^FAIL dorvane-1.0.2-win64.msi holds every table, row, stream and summary field the build makes \\(1.0.2, win64\\): .*table Directory's rows differ"
  "zip-prepended|good||1|^FAIL $zip is laid out as the build lays out a ZIP, each entry exactly one deflate stream: $base/LICENSE does not follow the entry before it \\(\\+[0-9]+ bytes\\)"
  "zip-unicode-path|good||1|^FAIL $zip is laid out as the build lays out a ZIP, each entry exactly one deflate stream: $base/LICENSE carries extra fields .*0x7075: the build writes only"
  "zip-symlink|good||1|^FAIL $zip is laid out as the build lays out a ZIP, each entry exactly one deflate stream: $base/LICENSE is not a regular file \\(mode 120777\\)"
  "zip-streamed-exe|good||1|^FAIL $zip is laid out as the build lays out a ZIP, each entry exactly one deflate stream: $base/dorvane.exe is stored, not deflated as the build writes its files, and its data holds a ZIP record~^ok   $base.msi holds every table, row, stream and summary field the build makes"
  "zip-local-size|good||1|^FAIL $zip is laid out as the build lays out a ZIP, each entry exactly one deflate stream: $base/LICENSE: its sizes or CRC differ between its local header and the central directory"
  "pe-padding|signed|--ca CERT|1|^FAIL $zip: dorvane.exe: its signature: its certificate table holds more than one WIN_CERTIFICATE, or bytes past its alignment"
  "pe-checksum|good||1|^FAIL $zip: dorvane.exe: its PE checksum is right: it says 0x"
  "many-bombs|good|RSS|1|^FAIL dorvane-0.0[0-9]-win64.zip: dorvane-0.0[0-9]-win64/[A-Za-z.-]+: the folder's ZIPs and MSIs inflate past 256 MiB in all"
  "alone|good|ALONE|0|^[1-9][0-9]* passed, 0 failed~^     not checked here: $base.cdx.json against the CycloneDX 1.6 schema"
)
quote() { sed -E 's/([0-9]+) passed, ([0-9]+) failed/\1 passed; \2 failed/; s/^/  | /'; }
state() { (cd "$1" && find . -printf '%p %y %s %T@ %m %l\n' | sort && find . -type f -print0 | sort -z | xargs -0 -r sha256sum); }
for row in "${cases[@]}"; do
  IFS='|' read -r name from extra want lines <<<"$row"
  [[ $name =~ $rows ]] || continue
  copy=$tmp/case-$name
  cp -a "$tmp/$from" "$copy"
  why=""
  SIGNED_ZIP=$tmp/signed/$zip STAMPED_MSI=$tmp/stamped.msi KEY=$tmp/key.pem CERT=$tmp/cert.pem \
    EVIL_KEY=$tmp/evil-key.pem EVIL_CERT=$tmp/evil.pem TSA_CERT=$tmp/tsa/tsa.pem TSA_KEY=$tmp/tsa/tsa.key \
    TSA_ROOT=$tmp/tsa/ca.pem CA_CERT=$tmp/ca.pem CA_KEY=$tmp/ca-key.pem PUBLISHER_KEY=$tmp/publisher-key.pem \
    CDP_LEAF=$tmp/cdp-leaf.pem CDP_UNDER=$tmp/cdp-under.pem CDP_CHAIN=$tmp/cdp-chain.pem SRC=$src EPOCH=1767225600 \
    plant "$name" "$copy" >"$tmp/plant.log" 2>&1 ||
    { why="the tampering could not be made"; cat "$tmp/plant.log"; }
  run=$verify limit=20 args=() path=$PATH how=plain
  for word in $extra; do
    case $word in
      CERT) args+=("$tmp/cert.pem") ;;
      CA) args+=("$tmp/ca.pem") ;;
      IDENTITY) args+=(--identity "CN=DORVANE publisher,O=Example") ;;
      # The same name as X.509 compares names: case and inner spaces folded, OpenSSL's form.
      FOLDED) args+=(--identity "CN=dorvane   PUBLISHER,O=example") ;;
      GOODCRL) args+=(--crl "$tmp/good.crl") ;;
      REVOKEDCRL) args+=(--crl "$tmp/revoked.crl") ;;
      # The intermediate's CRL with the test CA's: revoking nothing, or the intermediate; alone.
      BOTHCRLS) cat "$tmp/inter.crl" "$tmp/good.crl" >"$tmp/both.crl" && args+=(--crl "$tmp/both.crl") ;;
      INTERREVOKEDCRL) cat "$tmp/inter.crl" "$tmp/inter-revoked.crl" >"$tmp/both-revoked.crl" &&
        args+=(--crl "$tmp/both-revoked.crl") ;;
      INTERCRL) args+=(--crl "$tmp/inter.crl") ;;
      SLASH) args+=(--identity "/O=Example/CN=DORVANE publisher") ;;
      PIN) args+=(--cert-sha256 "$(openssl x509 -in "$tmp/publisher.pem" -outform DER | sha256sum | cut -c1-64)") ;;
      PINOTHER) args+=(--cert-sha256 "$(openssl x509 -in "$tmp/cert.pem" -outform DER | sha256sum | cut -c1-64)") ;;
      OTHER) args+=(--identity "CN=DORVANE other,O=Example") ;;
      BOTH) args+=("$tmp/cert-and-tsa.pem") ;;
      TSAROOT) args+=("$tsa/ca.pem") ;;
      BADBLOCK) args+=("$tmp/bad-block.pem") ;;
      NOSSL) path=$tmp/no-osslsigncode ;;
      NOMSI) path=$tmp/no-msitools ;;
      WAITS) path=$tmp/waits:$PATH ;;
      SIG*) how=$word ;;
      PIPE) how=pipe ;;
      SHARED) how=shared ;;
      RSS) how=rss ;;
      SRC) args+=("$src") ;;
      WORKSUMS) args+=("$working_sums") ;;
      SUMS_SIGNED) args+=("$(cat "$tmp/signed-sums.hex")") ;;
      PUB) args+=("$tmp/pub.pem") ;;
      GIT) args+=("$tmp/git" --preset "$preset" --commit "$one" "${cache[@]:1}") limit=400 ;;
      TWO) args+=("$two") ;;
      SUMS) args+=("$sums") ;;
      ZEROS) args+=("$(printf '%064d' 0)") ;;
      ALONE) how=alone ;;
      *) args+=("$word") ;;
    esac
  done
  before=$(state "$copy")
  rm -rf "$tmp/vtmp" && mkdir "$tmp/vtmp"
  start=$(date +%s)
  # The copy alone runs outside any checkout, without the node modules.
  rm -f "$tmp/waits.pid" "$tmp/planted-ran"
  case $how in
    plain) PATH=$path TMPDIR=$tmp/vtmp "$run" "$copy" "${args[@]}" >"$tmp/out" 2>&1 ;;
    rss)
      PATH=$path TMPDIR=$tmp/vtmp /usr/bin/time -v -o "$tmp/time" "$run" "$copy" "${args[@]}" >"$tmp/out" 2>&1 ;;
    shared) (cd "$tmp/shared/x" && PATH=.:$copy/tools:$PATH TMPDIR="$tmp/vtmp" ./verify "$copy" "${args[@]}") >"$tmp/out" 2>&1 ;;
    pipe)
      # Whoever reads it stops after a line: no traceback, the rest of its verdict not taken as read.
      PATH=$path TMPDIR=$tmp/vtmp "$run" "$copy" "${args[@]}" 2>"$tmp/err" | head -1 >"$tmp/out"
      (exit "${PIPESTATUS[0]}") ;;
    SIG*)
      # The signal comes while a tool it started (the stand-in osslsigncode) runs.
      PATH=$path TMPDIR=$tmp/vtmp "$run" "$copy" "${args[@]}" >"$tmp/out" 2>&1 &
      for _ in $(seq 100); do [ -s "$tmp/waits.pid" ] && break; sleep 0.1; done
      kill -s "${how#SIG}" $!
      wait $! ;;
    *) (cd "$tmp/alone" && env -u DORVANE_NODE_MODULES TMPDIR="$tmp/vtmp" ./verify-release "$copy" "${args[@]}") >"$tmp/out" 2>&1 ;;
  esac
  status=$?
  [ "$how" != pipe ] || cat "$tmp/err" >>"$tmp/out"
  took=$(($(date +%s) - start))
  [ "$status" = "$want" ] || why=$(why_not "$why" "status $status, expected $want")
  ! grep -q Traceback "$tmp/out" || why=$(why_not "$why" "a traceback")
  [ ! -e "$tmp/planted-ran" ] || why=$(why_not "$why" "it ran a file planted for it")
  if [ "$how" = rss ]; then
    # Its peak memory, within the folder's bounds, stays under 512 MiB.
    rss=$(sed -nE 's/^\s*Maximum resident set size \(kbytes\): ([0-9]+)$/\1/p' "$tmp/time")
    [ "${rss:-999999}" -lt $((512 << 10)) ] || why=$(why_not "$why" "its peak memory was ${rss:-?} KiB")
    echo "     $name: peak memory ${rss:-?} KiB, $(($(date +%s) - start)) s"
  fi
  if [ -s "$tmp/waits.pid" ] && kill -0 "$(cat "$tmp/waits.pid")" 2>/dev/null; then
    why=$(why_not "$why" "the tool it started still runs")
    kill "$(cat "$tmp/waits.pid")"
  fi
  IFS='~' read -ra patterns <<<"$lines"
  for pattern in "${patterns[@]}"; do
    if [[ $pattern == '!'* ]]; then
      ! grep -qE -- "${pattern#!}" "$tmp/out" || why=$(why_not "$why" "a line /${pattern#!}/")
    else
      grep -qE -- "$pattern" "$tmp/out" || why=$(why_not "$why" "no line /$pattern/")
    fi
  done
  # Its tally counts its own verdicts, one per ok or FAIL line, and nothing else.
  if [ "$want" -lt 2 ] && [ "$how" != pipe ]; then
    counted=$(grep -cE '^(ok  |FAIL) ' "$tmp/out")
    tally=$(tail -1 "$tmp/out" | sed -nE 's/^([0-9]+) passed, ([0-9]+) failed$/\1 + \2/p')
    [ -n "$tally" ] && [ $((tally)) = "$counted" ] || why=$(why_not "$why" "its tally is not its $counted verdicts")
  fi
  [ "$(state "$copy")" = "$before" ] || why=$(why_not "$why" "it changed the folder")
  left=$(find "$tmp/vtmp" -mindepth 1 -maxdepth 1 -printf '%f ' | head -c 200)
  [ -z "$left" ] || why=$(why_not "$why" "it left ${left}in TMPDIR")
  [ "$took" -le "$limit" ] || why=$(why_not "$why" "it took $took s, over $limit s")
  shown=""
  for pattern in "${patterns[@]}"; do [[ $pattern == '!'* ]] || shown=$pattern; done
  record "$name: status $want, $(grep -m1 -E -- "$shown" "$tmp/out" | sed -E "s/^(ok|FAIL) +//" | quote | cut -c5-94)" "$why"
  [ -z "$why" ] || quote <"$tmp/out" | head -60
done

# No row connected to the CRL distribution point its certificates name.
record "no connection to the CRL distribution points the test CA's leaves name ($cdp)" \
  "$([ ! -s "$tmp/connections" ] || echo "$(cat "$tmp/connections") connections")"

# The command line: no release, words it does not know, a --sums that is not a digest.
"$verify" "$tmp/git" >/dev/null 2>&1
status1=$?
"$verify" "$tmp/good" --frobnicate >/dev/null 2>&1
status2=$?
"$verify" "$tmp/good" --sums nothex >/dev/null 2>&1
status3=$?
why=""
[ $status1 = 2 ] && [ $status2 = 2 ] && [ $status3 = 2 ] ||
  why="status $status1 for no release, $status2 for an unknown option, $status3 for a --sums that is no digest"
record "status 2 for a folder with no release and for a bad command line" "$why"
finish
