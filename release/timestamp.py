#!/usr/bin/python3
"""An RFC 3161 timestamp for an Authenticode signature, checked before it is kept: each
authority in turn is sent a request of our own (the SHA-256 of the signature, a nonce of
our own), within TIMEOUT seconds from connecting to its whole reply; the reply's token must
be over that imprint, carry that nonce and verify against ROOTS (`openssl ts -verify`). The
first token that holds is attached to the signature's unsigned attributes and embedded
with `osslsigncode attach-signature`; otherwise the next authority is asked. Nothing is
written to OUT unless a token held.

usage: timestamp.py NAME UNSIGNED SIGNED OUT --osslsigncode PATH --ca ROOTS --timeout SECONDS URL...
  NAME      the file's name, for the messages
  UNSIGNED  the file before signing; SIGNED the same signed, without a timestamp
  URL       as sign.sh, which alone starts this, checked it: no user or password in it
One line per failed authority is said only when a later one answers or all fail:
"sign.sh: ...", status 1 when none gave a timestamp that holds.
"""
import argparse
import hashlib
import http.client
import os
import signal
import ssl
import subprocess
import sys
import tempfile
import urllib.parse

from asn1crypto import cms, tsp

MAX_REPLY = 1 << 20
COUNTERSIGNATURE = "1.3.6.1.4.1.311.3.3.1"  # Authenticode's RFC 3161 countersignature


class Failed(Exception):
    """Why one authority gave no timestamp that holds."""


class Late(Exception):
    pass


def run(*command):
    return subprocess.run(command, capture_output=True)


def content(path):
    with open(path, "rb") as f:
        return f.read()


def post(url, body, roots, timeout):
    """The authority's reply to BODY, within TIMEOUT seconds from connecting to its end."""
    parts = urllib.parse.urlsplit(url)
    headers = {"Content-Type": "application/timestamp-query", "Content-Length": str(len(body))}
    if parts.scheme == "https":
        connection = http.client.HTTPSConnection(parts.hostname, parts.port, timeout=timeout,
                                                 context=ssl.create_default_context(cafile=roots))
    else:
        connection = http.client.HTTPConnection(parts.hostname, parts.port, timeout=timeout)

    def late(*_):
        raise Late()
    signal.signal(signal.SIGALRM, late)
    signal.setitimer(signal.ITIMER_REAL, timeout)
    try:
        connection.request("POST", (parts.path or "/") + (f"?{parts.query}" if parts.query else ""), body, headers)
        response = connection.getresponse()
        data = response.read(MAX_REPLY + 1)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        connection.close()
    if response.status != 200:
        raise Failed(f"answered HTTP {response.status}")
    if len(data) > MAX_REPLY:
        raise Failed(f"answered more than {MAX_REPLY >> 20} MiB")
    return data


def token_of(reply, request, work, roots):
    """The reply's token when it is over REQUEST's imprint, with its nonce, and verifies."""
    try:
        answer = tsp.TimeStampResp.load(reply)
        status = answer["status"]["status"].native
        token = answer["time_stamp_token"]
        if status not in ("granted", "granted_with_mods") or token.native is None:
            raise Failed(f"refused to timestamp ({status})")
        info = token["content"]["encap_content_info"]["content"].parsed
        imprint, nonce = info["message_imprint"], info["nonce"].native
        wanted = request["message_imprint"]
        if (imprint["hash_algorithm"]["algorithm"].native != wanted["hash_algorithm"]["algorithm"].native
                or imprint["hashed_message"].native != wanted["hashed_message"].native):
            raise Failed("its timestamp is over another message than this signature")
        if nonce != request["nonce"].native:
            raise Failed("its reply carries another nonce than the request's")
    except (ValueError, TypeError, KeyError) as error:
        raise Failed(f"its answer is not an RFC 3161 reply ({type(error).__name__})")
    with open(os.path.join(work, "request.tsq"), "wb") as f:
        f.write(request.dump())
    with open(os.path.join(work, "reply.tsr"), "wb") as f:
        f.write(reply)
    if run("openssl", "ts", "-verify", "-queryfile", os.path.join(work, "request.tsq"),
           "-in", os.path.join(work, "reply.tsr"), "-CAfile", roots).returncode != 0:
        raise Failed(f"its timestamp does not verify against the roots in '{roots}'")
    return token


def main(argv):
    parser = argparse.ArgumentParser(usage=__doc__)
    for name in ("name", "unsigned", "signed", "out"):
        parser.add_argument(name)
    parser.add_argument("--osslsigncode", required=True)
    parser.add_argument("--ca", required=True)
    parser.add_argument("--timeout", type=int, required=True)
    parser.add_argument("urls", nargs="+")
    args = parser.parse_args(argv[1:])
    # Interrupted, it stops at once, as the signing step around it does.
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    with tempfile.TemporaryDirectory() as work:
        signature_file = os.path.join(work, "signature.der")
        if run(args.osslsigncode, "extract-signature", "-in", args.signed, "-out", signature_file).returncode != 0:
            print(f"sign.sh: could not read the signature of {args.name}", file=sys.stderr)
            return 1
        with open(signature_file, "rb") as f:
            signature = cms.ContentInfo.load(f.read())
        signer = signature["content"]["signer_infos"][0]
        causes = []
        for url in args.urls:
            request = tsp.TimeStampReq({
                "version": "v1",
                "message_imprint": {"hash_algorithm": {"algorithm": "sha256"},
                                    "hashed_message": hashlib.sha256(signer["signature"].native).digest()},
                "nonce": int.from_bytes(os.urandom(16), "big") >> 1,
                "cert_req": True})
            try:
                token = token_of(post(url, request.dump(), args.ca, args.timeout), request, work, args.ca)
                break
            except Late:
                causes.append(f"{url} gave no answer within {args.timeout} s")
            except Failed as failure:
                causes.append(f"{url}: {failure}")
            except ssl.SSLCertVerificationError:
                causes.append(f"{url}: certificate verify failed")
            except (OSError, http.client.HTTPException) as error:
                causes.append(f"{url}: {getattr(error, 'strerror', None) or str(error) or type(error).__name__}")
        else:
            print(f"sign.sh: no timestamp for {args.name} (the key signed; no timestamp authority gave one that "
                  f"holds): {'; '.join(causes)}", file=sys.stderr)
            return 1
        attributes = list(signer["unsigned_attrs"]) if signer["unsigned_attrs"].native else []
        attributes.append(cms.CMSAttribute({"type": COUNTERSIGNATURE, "values": [token]}))
        signer["unsigned_attrs"] = cms.CMSAttributes(attributes)
        # Each level set anew, so that each is encoded again around the changed signer.
        signed_data = signature["content"]
        signed_data["signer_infos"] = cms.SignerInfos([signer])
        signature["content"] = signed_data
        stamped = os.path.join(work, "stamped.der")
        with open(stamped, "wb") as f:
            f.write(signature.dump())
        # attach-signature's status also reports its own check of the chain, which needs the
        # signer's roots it is not given: what counts is that the file now carries this
        # signature, read back.
        embedded = os.path.join(work, "embedded.der")
        run(args.osslsigncode, "attach-signature", "-sigin", stamped, "-in", args.unsigned, "-out", args.out)
        if (not os.path.exists(args.out)
                or run(args.osslsigncode, "extract-signature", "-in", args.out, "-out", embedded).returncode != 0
                or content(embedded) != content(stamped)):
            print(f"sign.sh: could not embed the timestamp of {url} in {args.name}", file=sys.stderr)
            return 1
        if causes:
            print(f"sign.sh: {args.name} timestamped by {url}, after: {'; '.join(causes)}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
