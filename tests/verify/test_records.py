"""The records against the files they describe, on records made here as the build writes
them (the envelope and its bundle signed with a key of the test's own): the SBOM's and the
provenance's hashes, each field the envelope and the bundle may hold, what each anchor
requires of them, and their bounds."""
import base64
import copy
import hashlib
import json
import types
import unittest

import support
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding

from verify import authenticode, contract, dsse, limits, records

BASE = "dorvane-1.0.0-win64"
ZIP, MSI, SBOM, PROV, ENV, BUNDLE = (BASE + contract.suffix(kind)
                                     for kind in ("zip", "msi", "sbom", "provenance", "envelope", "bundle"))
EXE = BASE + "/" + contract.exe()
FILES = {EXE: b"MZ the exe", ZIP: b"the zip", MSI: b"the msi"}
SPEC = contract.load()["records"]
SPKI = support.key("leaf").public_key().public_bytes(serialization.Encoding.DER,
                                                     serialization.PublicFormat.SubjectPublicKeyInfo)


def digests(data):
    return [{"alg": "SHA-256", "content": hashlib.sha256(data).hexdigest()},
            {"alg": "SHA-512", "content": hashlib.sha512(data).hexdigest()}]


def signature(payload):
    sig = support.key("leaf").sign(dsse.pae(SPEC["payload_type"].encode(), payload), padding.PKCS1v15(),
                                   hashes.SHA256())
    return {"keyid": hashlib.sha256(SPKI).hexdigest(), "sig": base64.b64encode(sig).decode()}


def made(statement=None, documents=None, raw=None):
    """The four records as the build writes them: STATEMENT(provenance) edits the provenance
    before it is signed, DOCUMENTS(envelope, bundle) the two after, RAW(files) their bytes."""
    bom = json.dumps({"bomFormat": SPEC["sbom_format"], "specVersion": SPEC["sbom_spec"],
                      "serialNumber": "urn:uuid:00000000-0000-5000-8000-000000000000", "components": [],
                      "metadata": {"component": {
                          "hashes": digests(FILES[EXE]),
                          "properties": [{"name": "bsi:component:filename", "value": contract.exe()}],
                          "externalReferences": [{"type": "distribution", "url": name, "hashes": digests(FILES[name])}
                                                 for name in (ZIP, MSI)]}}}).encode()
    provenance = {"_type": SPEC["statement_type"], "predicateType": SPEC["predicate_type"],
                  "subject": [{"name": name, "digest": {"sha256": hashlib.sha256(data).hexdigest()}}
                              for name, data in dict(FILES, **{SBOM: bom}).items()],
                  "predicate": {"buildDefinition": {"externalParameters": {
                      "source": {"commit": "a" * 40}, "preset": contract.arch("win64")["preset"], "signed": True}}}}
    if statement:
        statement(provenance)
    payload = json.dumps(provenance).encode()
    envelope = {"payload": base64.b64encode(payload).decode(), "payloadType": SPEC["payload_type"],
                "signatures": [signature(payload)]}
    bundle = {"mediaType": SPEC["bundle_media_type"], "dsseEnvelope": copy.deepcopy(envelope),
              "verificationMaterial": {"publicKey": {"hint": envelope["signatures"][0]["keyid"]}}}
    if documents:
        documents(envelope, bundle)
    files = {SBOM: bom, PROV: payload, ENV: json.dumps(envelope).encode() + b"\n", BUNDLE: json.dumps(bundle).encode()}
    if raw:
        raw(files)
    return files


def flip(signature_holder):
    sig = bytearray(base64.b64decode(signature_holder["signatures"][0]["sig"]))
    sig[len(sig) // 2] ^= 1
    signature_holder["signatures"][0]["sig"] = base64.b64encode(sig).decode()


def drop(*names):
    return lambda files: [files.pop(name) for name in names]


def keyid(value):
    def change(envelope, bundle):
        for document in (envelope, bundle["dsseEnvelope"]):
            document["signatures"][0]["keyid"] = value
        bundle["verificationMaterial"]["publicKey"]["hint"] = value
    return change


def tiny(files):
    for name, kind in ((SBOM, "sbom"), (PROV, "provenance"), (ENV, "envelope"), (BUNDLE, "bundle")):
        files[name] = b"[" + b"{}," * (limits.Limits.record[kind] // 3) + b"{}]"


class Records(support.Scratch):
    rows = [
        # (what, the anchor, the exe's signature (None: not known here), the records, words of
        #  lines there must be[, words no line may hold])
        ("as the build writes them, --key", "key", True, made(), [
            f"ok   {SBOM}: the hashes of dorvane.exe", f"ok   {PROV}: subject {ZIP}", f"ok   {PROV}: signed true, as",
            f"ok   {ENV}: the envelope's signature verifies with the key given (--key)",
            f"ok   {BUNDLE}: its signature verifies with the key given"], ["FAIL"]),
        ("the SBOM's hash of the exe", None, True, made(raw=lambda f: f.update(
            {SBOM: f[SBOM].replace(hashlib.sha256(FILES[EXE]).hexdigest().encode(), b"0" * 64)})),
         [f"FAIL {SBOM}: the hashes of dorvane.exe: its SHA-256 of dorvane.exe is not the exe's"]),
        ("a subject's digest", None, True, made(lambda p: p["subject"][1]["digest"].update(sha256="0" * 64)),
         [f"FAIL {PROV}: subject {ZIP}: its subject digest is not the sha256 of {ZIP}"]),
        ("a key twice in the SBOM", None, True,
         made(raw=lambda f: f.update({SBOM: f[SBOM].replace(b"{", b'{"bomFormat": "other", ', 1)})),
         [f'FAIL {SBOM} is CycloneDX 1.6: {SBOM} holds the key "bomFormat" twice']),
        # a preset that would print a verdict line of its own
        ("a preset holding a line", None, True, made(lambda p: p["predicate"]["buildDefinition"][
            "externalParameters"].update(preset="windows-x64\nok   x: signed by /CN=forger")),
         ['with preset "windows-x64\\nok   x: signed by /CN=forger"'], ["\n"]),
        ("every record missing, --key", "key", True, made(raw=drop(SBOM, PROV, ENV, BUNDLE)),
         [f"FAIL {name} is there: missing" for name in (SBOM, PROV, ENV, BUNDLE)]),
        ("every record missing, --ca", "ca", True, made(raw=drop(SBOM, PROV, ENV, BUNDLE)),
         [f"FAIL {PROV} is there: missing"]),
        ("no bundle, --key", "key", True, made(raw=drop(BUNDLE)),
         [f"ok   {ENV}: the envelope's signature verifies", f"FAIL {BUNDLE} is there: missing"]),
        ("no bundle, no anchor", None, True, made(raw=drop(BUNDLE)), [f"     {BUNDLE}: none in this release"],
         ["FAIL"]),
        ("the bundle's signature changed, --key", "key", True, made(documents=lambda e, b: flip(b["dsseEnvelope"])),
         [f"ok   {ENV}: the envelope's signature verifies",
          f"FAIL {BUNDLE} is a Sigstore bundle v0.3 of {ENV}, SLSA v1 provenance: its dsseEnvelope is not"]),
        ("the same, no anchor", None, True, made(documents=lambda e, b: flip(b["dsseEnvelope"])),
         [f"FAIL {BUNDLE} is a Sigstore bundle v0.3 of {ENV}, SLSA v1 provenance: its dsseEnvelope is not"]),
        ("both signatures changed alike", "key", True,
         made(documents=lambda e, b: [flip(e), b.update(dsseEnvelope=copy.deepcopy(e))]),
         [f"FAIL {ENV}: the envelope's signature verifies with the key given (--key): none of its 1",
          f"FAIL {BUNDLE}: its signature verifies with the key given (--key): it does not verify"]),
        ("another bundle version", "key", True,
         made(documents=lambda e, b: b.update(mediaType="application/vnd.dev.sigstore.bundle+json;version=0.2")),
         ['its mediaType is "application/vnd.dev.sigstore.bundle+json;version=0.2"']),
        ("a bad signature first, the good one second", "ca", True, made(documents=lambda e, b: e["signatures"].insert(
            0, dict(e["signatures"][0], sig=base64.b64encode(bytes(128)).decode()))),
         [f"ok   {ENV}: the envelope's signature verifies with the exe's signer's key (signature 2 of 2)"]),
        ("another payload type", "ca", True, made(documents=lambda e, b: e.update(payloadType="application/json")),
         [f'FAIL {ENV} carries {PROV}: its payloadType is "application/json"']),
        ("a bundle holding more", "key", True, made(documents=lambda e, b: [
            b.update({"x-extra": {}}), b["verificationMaterial"]["publicKey"].update(rawBytes="MIIB")]),
         ["it holds more than the envelope and its key's hint"]),
        ("an envelope holding more", "key", True, made(documents=lambda e, b: e.update(extra="hello")),
         [f"FAIL {ENV} carries {PROV}: not the envelope the build writes"]),
        ("another key named", "key", True, made(documents=keyid("SHA256:another")),
         ['its keyid "SHA256:another" is not that key\'s', 'its key hint "SHA256:another" is not that key\'s keyid']),
        ("records of tiny objects, each just over its bound", "key", True, made(raw=tiny),
         [f"FAIL {SBOM} is CycloneDX 1.6: {SBOM} is over 256 KiB",
          f"FAIL {PROV} is SLSA provenance: {PROV} is over 256 KiB"]),
        ("no osslsigncode to read the exe's signer, no anchor", None, None, made(),
         [f"     not checked here: {PROV}'s signed true against the exe (no osslsigncode 2.9 or later)",
          f"     not checked here: {ENV}'s signature by the exe's signer (no osslsigncode 2.9 or later to read the signer)"],
         ["FAIL"]),
        ("the same, --ca", "ca", None, made(),
         [f"FAIL {ENV}'s signature by the exe's signer: cannot be checked here (no osslsigncode"]),
    ]

    def test_rows(self):
        for what, anchor, signed, files, words, *never in self.rows:
            with self.subTest(what):
                ctx = support.context(self.tmp, **({anchor: "anchor.pem"} if anchor else {}), key_der=SPKI,
                                      osslsigncode=signed is not None, folder=types.SimpleNamespace(files=files))
                exe = authenticode.Signature()
                if signed:
                    exe.signed, exe.verified, exe.spki = True, True, SPKI
                records.check(BASE, "win64", dict(FILES), EXE, exe, ctx)
                lines = support.lines(ctx.report)
                for word in words:
                    self.assertTrue(support.has(lines, word), f"{word}\n" + "\n".join(lines))
                for word in never[0] if never else []:
                    self.assertFalse(any(word in line for line in lines), "\n".join(lines))


if __name__ == "__main__":
    unittest.main()
