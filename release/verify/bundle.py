"""The envelope as a Sigstore bundle (.sigstore.json), for Sigstore's own verifiers: the
envelope itself, unchanged, named by its key's hint, with no transparency-log entry,
timestamp or certificate; its signature that key's."""
import base64
import binascii

from . import contract, dsse
from .jsondata import dig, objects, strict
from .report import Refused, q


def check(base, envelope_name, bundle_name, exe_signature, ctx):
    folder, report, policy = ctx.folder, ctx.report, ctx.policy
    if bundle_name not in folder.files:
        return  # (the records' check has said whether it must be there)
    spec = contract.load()["records"]
    bundle_type, payload_type = spec["bundle_media_type"], spec["payload_type"]
    why = ""
    try:
        if envelope_name not in folder.files:
            raise Refused(f"there is no {envelope_name} beside it to compare it with")
        expected = dsse.one_envelope(folder.files[envelope_name], envelope_name, ctx.limits.record["envelope"])
        document = strict(folder.files[bundle_name], bundle_name, ctx.limits.record["bundle"])
        if not isinstance(document, dict) or document.get("mediaType") != bundle_type:
            raise Refused(f"its mediaType is {q(dig(document, 'mediaType', kind=str))}, not {bundle_type}")
        # The envelope itself; a bundle carries one signature, so of an envelope signed more
        # than once, one of its signatures.
        bundled = dig(document, "dsseEnvelope")
        signatures = objects(dig(bundled or {}, "signatures", kind=list))
        if bundled is None or not isinstance(expected, dict) or set(bundled) != dsse.FIELDS \
                or any(bundled[field] != expected.get(field) for field in ("payload", "payloadType")) \
                or len(signatures) != 1 or len(bundled["signatures"]) != 1 \
                or signatures[0] not in objects(expected.get("signatures")):
            raise Refused(f"its dsseEnvelope is not {envelope_name}'s envelope")
        material = dig(document, "verificationMaterial") or {}
        hint = dig(material, "publicKey", "hint", kind=str)
        if hint is None or hint != signatures[0].get("keyid"):
            raise Refused("its verificationMaterial names no public key by the envelope's keyid")
        if set(document) != {"mediaType", "verificationMaterial", "dsseEnvelope"} \
                or set(material) - {"publicKey", "tlogEntries", "timestampVerificationData"} \
                or set(dig(material, "publicKey") or {}) != {"hint"} \
                or any(material.get(field) for field in ("tlogEntries", "timestampVerificationData")) \
                or set(signatures[0]) != {"keyid", "sig"}:
            raise Refused("it holds more than the envelope and its key's hint: the build writes nothing else")
        kind = bundled.get("payloadType")
        if kind != payload_type:
            raise Refused(f"its payloadType is {q(kind)}, not {payload_type}")
        payload = base64.b64decode(str(bundled.get("payload")), validate=True)
        statement = strict(payload, f"{bundle_name}'s payload", ctx.limits.record["provenance"])
        if dig(statement, "predicateType", kind=str) != spec["predicate_type"]:
            raise Refused(f"its statement's predicateType is {q(dig(statement, 'predicateType', kind=str))}, "
                          f"not {spec['predicate_type']}")
        sig = base64.b64decode(str(signatures[0].get("sig")), validate=True)
    except Refused as refusal:
        why = str(refusal)
    except (binascii.Error, ValueError) as error:
        why = f"not a bundle of the envelope: {q(str(error)[:200])}"
    if not report.check(f"{bundle_name} is a Sigstore bundle v0.3 of {envelope_name}, SLSA v1 provenance", why):
        return
    if dsse.serialization is None:
        policy.unchecked(report, f"{bundle_name}'s signature", "Python cryptography", origin=True)
        return
    chosen = dsse.key_for(exe_signature, ctx)
    if not chosen:
        policy.unchecked(report, f"{bundle_name}'s signature", "key to check it with: --key PUBKEY.pem, or a signed "
                         "exe whose signature verifies", origin=True)
        return
    key, whose, keyid = chosen
    if hint != keyid:
        report.check(f"{bundle_name}: its signature verifies with {whose}",
                     f"its key hint {q(hint)} is not that key's keyid ({keyid})")
        return
    report.check(f"{bundle_name}: its signature verifies with {whose}",
                 "" if dsse.verifies(key, kind, payload, sig) else f"it does not verify with {whose}")
