"""X.509 names as the verifier shows and matches them. A subject is written as RFC 4514 writes
it (most specific first), as `openssl x509 -noout -subject -nameopt RFC2253,-esc_msb` prints it. A
subject given to match (--identity) is matched exactly: the same attributes in the same
order, each value code point for code point. X.509's own name matching folds case, spaces
and look-alike characters (it is made for directory look-ups); here the other customers of
a CA are whom the match exists to keep out, so nothing is folded, and a subject holding an
invisible or format character (a soft hyphen, a zero-width space: Unicode category Cf)
never matches."""
import re
import unicodedata

# OpenSSL's short names (as -nameopt RFC2253 prints them) and the OIDs they stand for.
SHORT = {
    "CN": "2.5.4.3", "SN": "2.5.4.4", "serialNumber": "2.5.4.5", "C": "2.5.4.6", "L": "2.5.4.7", "ST": "2.5.4.8",
    "street": "2.5.4.9", "O": "2.5.4.10", "OU": "2.5.4.11", "title": "2.5.4.12", "businessCategory": "2.5.4.15",
    "postalCode": "2.5.4.17", "name": "2.5.4.41", "GN": "2.5.4.42", "initials": "2.5.4.43",
    "generationQualifier": "2.5.4.44", "dnQualifier": "2.5.4.46", "pseudonym": "2.5.4.65",
    "organizationIdentifier": "2.5.4.97", "emailAddress": "1.2.840.113549.1.9.1", "UID": "0.9.2342.19200300.100.1.1",
    "jurisdictionL": "1.3.6.1.4.1.311.60.2.1.1", "jurisdictionST": "1.3.6.1.4.1.311.60.2.1.2",
    "jurisdictionC": "1.3.6.1.4.1.311.60.2.1.3", "DC": "0.9.2342.19200300.100.1.25"}
BY_OID = {oid: short for short, oid in SHORT.items()}
BY_LOWER = {short.lower(): oid for short, oid in SHORT.items()}
SPECIAL = ',+"\\<>;='


class Attribute:
    """One type and value: TEXT the value as a string, or None when it is not one (then DER,
    its encoding, is what is compared)."""
    __slots__ = ("oid", "text", "der")

    def __init__(self, oid, text, der=None):
        self.oid, self.text, self.der = oid, text, der

    def __eq__(self, other):
        return (self.oid, self.text, self.der if self.text is None else None) == \
            (other.oid, other.text, other.der if other.text is None else None)

    def shown(self):
        kind = BY_OID.get(self.oid, self.oid)
        return f"{kind}={escape(self.text) if self.text is not None else '#' + self.der.hex()}"


def escape(value):
    """An attribute value as RFC 4514 writes it: specials, a leading '#' or space and a
    trailing space escaped; every character that shows as nothing or as another (control,
    format, separator other than the space, unassigned) as the \\XX bytes of its UTF-8, so
    that the text printed is the value, whatever it holds, and reads back as it."""
    out = []
    for index, char in enumerate(value):
        if char in SPECIAL or (index == 0 and char in "# ") or (index == len(value) - 1 and char == " "):
            out.append("\\" + char)
        elif char != " " and unicodedata.category(char)[0] in "CZ":
            out.append("".join(f"\\{byte:02X}" for byte in char.encode("utf-8", "surrogatepass")))
        else:
            out.append(char)
    return "".join(out)


def quoted(rdns):
    """A subject for the report: its RFC 4514 text as UTF-8, in double quotes (a quote or a
    backslash inside is escaped by RFC 4514 itself)."""
    return '"' + text(rdns) + '"'


def quote_text(value):
    """Any other name from a certificate (a DNS name, a mailbox), quoted as a subject is."""
    return '"' + escape(value) + '"'


def of_certificate(name):
    """An asn1crypto Name as a list of RDNs, most specific first, each a list of Attributes
    in the order the certificate holds them."""
    rdns = []
    for rdn in reversed(list(name.chosen)):
        attributes = []
        for pair in rdn:
            value = pair["value"]
            try:
                native = value.native
            except RecursionError:  # nested past any reader's depth: shown and compared as its DER
                native = None
            attributes.append(Attribute(pair["type"].dotted, native if isinstance(native, str) else None, value.dump()))
        rdns.append(attributes)
    return rdns


def text(rdns):
    return ",".join("+".join(attribute.shown() for attribute in rdn) for rdn in rdns)


RFC4514_HOW = ("as `openssl x509 -noout -subject -nameopt RFC2253,-esc_msb -in CERT` prints it (without \"subject=\"), "
               "most specific first: CN=Name,O=Org")
# OpenSSL's default one-line form: "C = EE, O = \"Name, Inc\", CN = Name", most general first.
ONE_LINE = re.compile(r'^\s*(subject=\s*)?[A-Za-z][A-Za-z0-9.]*\s+=|=\s+\S|=\s*"')


def parse(given):
    """RFC 4514 text (CN=Publisher,O=Example) as a list of RDNs; ValueError when it is not.
    (cryptography's Name.from_rfc4514_string is not used: it decodes each escaped UTF-8 byte
    such as OpenSSL's \\C3\\BC as a character of its own, takes a #hex value's DER as its
    text, accepts an empty value, and knows none of OpenSSL's emailAddress, street or
    serialNumber; nor its rfc4514_string, which prints an invisible character as itself.)"""
    if ONE_LINE.search(given):
        raise ValueError("this is OpenSSL's default one-line form (TYPE = VALUE, most general first); give the "
                         "subject in RFC 4514 form, " + RFC4514_HOW)
    if given.lower().startswith("subject="):
        raise ValueError("leave out openssl's 'subject=': the subject is what follows it")
    if not given or given.startswith("/"):
        raise ValueError("give the subject as RFC 4514 writes it, " + RFC4514_HOW)
    rdns, attributes, at = [], [], 0
    while True:
        equals = given.find("=", at)
        if equals < 0:
            raise ValueError(f"{given[at:]!r} is not TYPE=VALUE")
        kind = given[at:equals].strip()
        oid = BY_LOWER.get(kind.lower()) or (kind if re.fullmatch(r"[0-2](\.[0-9]+)+", kind) else None)
        if oid is None:
            raise ValueError(f"{kind!r} is not an attribute type X.509 names know (CN, O, OU, C, ... or an OID)")
        value, at, der = _value(given, equals + 1)
        attributes.append(Attribute(oid, value, der))
        if at == len(given):
            rdns.append(attributes)
            return rdns
        if given[at] == ",":
            rdns.append(attributes)
            attributes = []
        at += 1


def _value(given, at):
    """(value, where it ends, DER) of the value starting at AT: a '#' and hex is a DER
    encoding; otherwise escapes are specials or \\XX bytes of UTF-8."""
    if given.startswith("#", at):
        match = re.compile(r"#((?:[0-9A-Fa-f]{2})+)").match(given, at)
        if not match:
            raise ValueError("a value after '#' is not hex")
        return None, match.end(), bytes.fromhex(match.group(1))
    raw, end = bytearray(), at
    while end < len(given) and given[end] not in ",+":
        char = given[end]
        if char == "\\":
            pair = given[end + 1:end + 3]
            if re.fullmatch(r"[0-9A-Fa-f]{2}", pair):
                raw.append(int(pair, 16))
                end += 3
                continue
            if end + 1 >= len(given) or given[end + 1] not in SPECIAL + " #":
                raise ValueError(f"{given[end:end + 2]!r} is not an escape RFC 4514 has")
            raw += given[end + 1].encode()
            end += 2
            continue
        if char in '"<>;=':
            raise ValueError(f"{char!r} must be escaped in a value")
        raw += char.encode()
        end += 1
    try:
        value = raw.decode("utf-8")
    except UnicodeDecodeError:
        raise ValueError("an escaped value is not UTF-8")
    if not value:
        raise ValueError("an attribute has no value")
    return value, end, None


def invisible(rdns):
    """The first invisible or format character (category Cf) in a value, as (type, character)."""
    for rdn in rdns:
        for attribute in rdn:
            for char in attribute.text or "":
                if unicodedata.category(char) == "Cf":
                    return BY_OID.get(attribute.oid, attribute.oid), char
    return None


def describe(char):
    return f"U+{ord(char):04X} {unicodedata.name(char, 'an unnamed character')}"


def mismatch(given, found):
    """Why the certificate's subject FOUND is not GIVEN, exactly, or "" when it is."""
    hidden = invisible(found)
    if hidden:
        return f"its subject holds an invisible character ({describe(hidden[1])} in {hidden[0]}), which never matches"
    if len(given) != len(found):
        return f"its subject has {len(found)} parts (RDNs), --identity {len(given)}"
    for want_rdn, have_rdn in zip(given, found):
        kinds = [BY_OID.get(a.oid, a.oid) for a in have_rdn]
        wanted = [BY_OID.get(a.oid, a.oid) for a in want_rdn]
        if kinds != wanted:
            return f"its subject has {'+'.join(kinds)} where --identity has {'+'.join(wanted)}"
        for want, have in zip(want_rdn, have_rdn):
            if want == have:
                continue
            kind = BY_OID.get(want.oid, want.oid)
            if want.text is None or have.text is None:
                return f"its {kind} is encoded otherwise"
            index = next((i for i, (a, b) in enumerate(zip(want.text, have.text)) if a != b),
                         min(len(want.text), len(have.text)))
            there = describe(have.text[index]) if index < len(have.text) else "its end"
            wanted_char = describe(want.text[index]) if index < len(want.text) else "the end"
            return (f"its {kind} differs at character {index + 1}: {there} where --identity has {wanted_char} "
                    "(compared exactly, nothing folded)")
    return ""
