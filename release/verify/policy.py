"""What each anchor requires, decided here and nowhere else, and what the closing line may
say because of it.

  anchor        signatures and records      SHA256SUMS lists   a check this machine
                must be there and verify    every flat file    cannot make
  (none)        no: intact is all a         no                 a note, named in the
                signature can show                             closing line
  --sums HEX    no                          yes                the same
  --key PUBKEY  yes, that key's             with --sums        fails where the origin
  --ca ROOTS    yes, chained to ROOTS, the  with --sums        rests on it (a signature,
                signer named by --identity                     the envelope), else a note
                or --cert-sha256, or itself
                one of ROOTS

Under --ca or --key every file must belong to the signed release; without an anchor, to a
release; under --sums alone, SHA256SUMS (whose digest was given) must list it. A manifest
in winget/ or scoop/ is covered by the package hashes it names, never by a signature."""


class Policy:
    def __init__(self, ca=None, key=None, sums=None, identity=None, cert_sha256=None, crl=None):
        self.ca, self.key, self.sums = ca, key, sums
        self.identity, self.cert_sha256, self.crl = identity, cert_sha256, crl
        self.anchor = "ca" if ca else "key" if key else "sums" if sums else None

    @property
    def signed(self):
        """Whether the origin rests on signatures: every exe and MSI signature, the
        envelope and its bundle must be there and verify with the anchor."""
        return self.anchor in ("ca", "key")

    @property
    def sums_anchored(self):
        return self.sums is not None

    def release_phrase(self):
        """What a file in DIR must be part of."""
        return "the signed release" if self.signed else "a release"

    def unchecked(self, report, what, tool, origin):
        """A check this machine cannot make (no TOOL). Where the origin rests on it (ORIGIN:
        a signature, the envelope) under --ca or --key, it fails: the origin is then not
        proved. Otherwise it is a note, and the closing line names it."""
        if origin and self.signed:
            report.check(what, f"cannot be checked here (no {tool}), so the origin is not proved")
        else:
            report.note(f"not checked here: {what} (no {tool})")
            report.unchecked.append(what)

    def missing(self, report, name):
        """A record that is not there: a failure when the origin rests on it."""
        if self.signed:
            report.check(f"{name} is there", "missing: with --ca or --key every record must be present")
        else:
            report.note(f"{name}: none in this release")

    def unsigned(self, report, label):
        if self.signed:
            report.check(f"{label} is signed", "it is not signed")
        else:
            report.note(f"{label}: not signed")

    def closing(self, report, quote):
        """The closing line: exactly what the run proved, and how to prove the rest."""
        if report.failed:
            return "proved: nothing; a check above failed, so do not use these files"
        facts = report.facts
        consistency = ("consistency (each ZIP laid out as the build lays one out, holding a release's files; "
                       "each MSI every table, row, stream and summary field the build makes for its version and "
                       "architecture; the ZIP and MSI holding the same files; the records naming them)")
        if report.unchecked:
            consistency += "; but for " + ", ".join(report.unchecked) + ", which could not be checked here"
        extras = []
        if facts.get("manifests"):
            extras.append("the winget and Scoop manifests are what release/manifests.py writes for these packages, "
                          "every field, naming them by their SHA-256s, with the download folder "
                          + " and ".join(quote(url) for url in facts["manifests"])
                          + " (the publisher's choice; they are covered by those hashes, not by a signature)")
        if facts.get("rebuilt"):
            extras.append("the rebuild made the same bytes: " + ", ".join(facts["rebuilt"]))
        if facts.get("absent"):
            extras.append("the files SHA256SUMS names of " + ", ".join(facts["absent"]) + " are not in the folder "
                          "and were NOT checked")
        if self.signed and facts.get("signatures"):
            checked = sorted(facts.get("revocation", []))
            if not self.crl:
                extras.append("revocation NOT checked (no --crl: nothing is fetched)")
            elif checked:
                extras.append(f"revocation checked against {quote(self.crl)} for every certificate below the roots: "
                              + ", ".join(checked))
            else:
                extras.append(f"revocation against {quote(self.crl)}: nothing to check, each signer being one of "
                              "the roots")
        tail = "".join("; " + extra for extra in extras)
        if self.ca:
            # Subjects as RFC 4514 text, which escapes what would not show as itself.
            who = " and ".join(f'"{name}"' for name in sorted(report.signers))
            # Each pin given was held to the signer: the line names them all.
            how = " and ".join(flag for flag, given in (("--identity", self.identity is not None),
                                                        ("--cert-sha256", self.cert_sha256)) if given) or "itself a root"
            return (f"proved: integrity, {consistency}, and origin with the roots in {quote(self.ca)}: signed by "
                    f"{who} ({how}; the exe and MSI signatures, the SBOM, provenance and envelope all verify "
                    f"with them){tail}")
        if self.key:
            return (f"proved: integrity, {consistency}, and origin with the key in {quote(self.key)} "
                    f"(the exe and MSI signers and the envelope are that key's){tail}")
        if self.sums:
            return (f"proved: integrity, {consistency}, and origin through the SHA256SUMS whose SHA-256 was "
                    f"given (--sums){tail}")
        # A rebuild that made the same bytes proved the contents; the origin still rests on an anchor.
        contents = "" if facts.get("rebuilt") else ("that the files' contents (the exe's code) are the build's, "
                                                    "which takes an anchor or --rebuild; ")
        return (f"proved: {consistency}{tail}; NOT proved: {contents}integrity only as far as the files match the "
                "checksums beside them: this catches damage, not tampering; the origin was NOT checked: give "
                "--ca CERTS --identity SUBJECT or --key PUBKEY (the publisher's), or --sums HEX (the SHA-256 of "
                "SHA256SUMS published elsewhere)")
