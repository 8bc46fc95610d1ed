"""The provenance's DSSE envelope (.intoto.jsonl): exactly the fields the build writes, its
payload the provenance, one of its signatures by the anchor's key (or the exe's signer's)
over DSSE's pre-authentication encoding, its keyid that key's."""
import base64
import binascii
import hashlib

from . import contract
from .jsondata import dig, objects, strict
from .report import Refused, q
from .tools import OSSLSIGNCODE_NEEDED

try:
    from cryptography.exceptions import InvalidSignature
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa
except ImportError:
    serialization = None

FIELDS = {"payload", "payloadType", "signatures"}


def pae(kind, payload):
    """DSSE's pre-authentication encoding: what each envelope signature signs."""
    return b"DSSEv1 %d %s %d %s" % (len(kind), kind, len(payload), payload)


def verifies(spki, kind, payload, sig):
    """Whether SIG over (KIND, PAYLOAD) verifies with SPKI (a DER public key): RSA PKCS#1
    v1.5 or ECDSA, with SHA-256."""
    key = serialization.load_der_public_key(spki)
    message = pae(kind.encode(), payload)
    try:
        if isinstance(key, rsa.RSAPublicKey):
            key.verify(sig, message, padding.PKCS1v15(), hashes.SHA256())
        elif isinstance(key, ec.EllipticCurvePublicKey):
            key.verify(sig, message, ec.ECDSA(hashes.SHA256()))
        else:
            return False
    except (InvalidSignature, ValueError):
        return False
    return True


def one_envelope(data, name, limit):
    """The one DSSE envelope an .intoto.jsonl holds, parsed strictly."""
    lines = [line for line in data.split(b"\n") if line.strip()]
    if len(lines) != 1:
        raise Refused(f"{name} holds {len(lines)} envelopes, not one")
    return strict(lines[0], name, limit)


def key_for(exe_signature, ctx):
    """(SPKI, whose it is, keyid) of the key a DSSE signature is checked with: --key's, else
    the exe's signer's; None when there is neither."""
    if ctx.policy.key:
        return ctx.key_der, "the key given (--key)", hashlib.sha256(ctx.key_der).hexdigest()
    if exe_signature.spki is None:
        return None
    return exe_signature.spki, "the exe's signer's key", hashlib.sha256(exe_signature.spki).hexdigest()


def check(base, provenance_name, envelope_name, signed, exe_signature, ctx):
    folder, report, policy = ctx.folder, ctx.report, ctx.policy
    if envelope_name not in folder.files:
        if signed is True and not policy.signed:
            report.check(envelope_name, "missing, though the provenance says signed")
        return
    why = ""
    payload_type = contract.load()["records"]["payload_type"]
    try:
        document = one_envelope(folder.files[envelope_name], envelope_name, ctx.limits.record["envelope"])
        kind = dig(document, "payloadType", kind=str)
        signatures = objects(dig(document, "signatures", kind=list))
        if kind is None or dig(document, "payload", kind=str) is None or not signatures:
            raise Refused("not a DSSE envelope: no payloadType, payload or signatures")
        # Only what the build writes: no field a reader might take for something else.
        if set(document) != FIELDS or len(signatures) != len(document["signatures"]) \
                or any(set(item) != {"keyid", "sig"} or not isinstance(item["keyid"], str) for item in signatures):
            raise Refused("not the envelope the build writes: fields other than payloadType, payload and "
                          "signatures of a keyid and a sig")
        if len(signatures) > 16:
            raise Refused(f"{len(signatures)} signatures, more than a release has")
        payload = base64.b64decode(document["payload"], validate=True)
        sigs = [base64.b64decode(dig(item, "sig", kind=str) or "!", validate=True) for item in signatures]
        if kind != payload_type:
            raise Refused(f"its payloadType is {q(kind)}, not {payload_type}")
        if payload != folder.files[provenance_name]:
            raise Refused(f"its payload is not {provenance_name}")
    except Refused as refusal:
        why = str(refusal)
    except (binascii.Error, ValueError) as error:
        why = f"not a DSSE envelope: {q(str(error)[:200])}"
    if not report.check(f"{envelope_name} carries {provenance_name}", why):
        return
    if serialization is None:
        policy.unchecked(report, f"{envelope_name}'s signature", "Python cryptography", origin=True)
        return
    chosen = key_for(exe_signature, ctx)
    if chosen:
        key, whose, keyid = chosen
    elif exe_signature.signed is None:
        policy.unchecked(report, f"{envelope_name}'s signature by the exe's signer", f"{OSSLSIGNCODE_NEEDED} to read the signer"
                         if not ctx.osslsigncode else "asn1crypto to read the signer", origin=True)
        return
    else:
        report.check(f"{envelope_name}: the envelope's signature verifies",
                     "no key to check it with (--key PUBKEY.pem, or an exe whose signature verifies)")
        return
    verified = next((number for number, sig in enumerate(sigs) if verifies(key, kind, payload, sig)), None)
    if verified is not None and signatures[verified]["keyid"] != keyid:
        report.check(f"{envelope_name}: the envelope's signature verifies with {whose}",
                     f"its keyid {q(signatures[verified]['keyid'])} is not that key's ({keyid})")
        return
    report.check(f"{envelope_name}: the envelope's signature verifies with {whose}"
                 + (f" (signature {verified + 1} of {len(sigs)})" if verified is not None and len(sigs) > 1 else ""),
                 "" if verified is not None else f"none of its {len(sigs)} signatures verifies with {whose}")
