"""The check an install.exe built with a publisher's certificate makes of its media before it reads
anything of them (install/trust/signature.cpp, install/trust/media_manifest.cpp):
media.manifest.p7s must be a detached CMS signature of media.manifest by exactly one signer, with
SHA-256, whose signed message digest is the manifest's and whose certificate is the very one the
build put in install.exe; its signature value is verified with openssl, where it is installed.
The refusals read as install's own."""
import base64
import hashlib
import os
import shutil
import subprocess
import tempfile

from .manifest import MANIFEST, SIGNATURE

# The build puts the certificate in install.exe after this tag and its length, 4 bytes, least
# significant first (cmake/publisher_certificate.cmake); a length of 0 for a build without one.
PUBLISHER_TAG = b"bravik publisher certificate:"
SHA256_OID = "2.16.840.1.101.3.4.2.1"
MESSAGE_DIGEST_OID = "1.2.840.113549.1.9.4"
SUBJECT_KEY_ID_OID = "2.5.29.14"
# DER tags: a SEQUENCE, a SET, an OCTET STRING, a certificate's [0] version or a SignedData's [0]
# certificates, a certificate's [3] extensions.
SEQUENCE, SET, OCTET_STRING, CONTEXT_0, EXTENSIONS = 0x30, 0x31, 0x04, 0xA0, 0xA3

# install's box and reasons, in its own words (the box's title, the trace line's reason).
NOT_AS_SIGNED = "Media Not As Signed"
NO_SIGNATURE = "{manifest} or its signature cannot be read"
NOT_VERIFIED = "the signature of {manifest} does not verify: {why}"
UNREADABLE = "it cannot be read as a CMS signature"
NOT_ONE_SIGNER = "it does not carry exactly one signer"
NOT_SHA256 = "its digest is not SHA-256"
NO_DIGEST_ATTRIBUTE = "it carries no signed message digest"
DIGEST_DIFFERS = "the signed message digest is not the manifest's"
OTHER_SIGNER = "it was not made by the certificate install.exe was built with"
BAD_SIGNATURE_VALUE = "its signature value does not verify"


class Der:
    """One element of a DER (or BER, with indefinite lengths) encoding."""

    def __init__(self, data, at=0, end=None):
        end = len(data) if end is None else end
        if at + 2 > end:
            raise ValueError("an element runs past its container")
        self.data, self.start, self.tag = data, at, data[at]
        length, at = data[at + 1], at + 2
        if length == 0x80:
            self.content_start, self.indefinite = at, True
            children = list(self.walk(at, end, until_end_mark=True))
            self.content_end = children[-1].end if children else at
            self.end = self.content_end + 2
        else:
            if length & 0x80:
                count = length & 0x7F
                length, at = int.from_bytes(data[at:at + count], "big"), at + count
            self.content_start, self.indefinite = at, False
            self.content_end = self.end = at + length
        if self.end > end:
            raise ValueError("an element runs past its container")

    def walk(self, at, end, until_end_mark=False):
        while at < end:
            if until_end_mark and self.data[at:at + 2] == b"\0\0":
                return
            child = Der(self.data, at, end)
            yield child
            at = child.end
        if until_end_mark:
            raise ValueError("an indefinite length without its end")

    def children(self):
        return list(self.walk(self.content_start, self.content_end, self.indefinite))

    @property
    def encoded(self):
        return self.data[self.start:self.end]

    @property
    def content(self):
        return self.data[self.content_start:self.content_end]

    def oid(self):
        raw = self.content
        first, value, parts = raw[0], 0, []
        parts += [min(first // 40, 2), first - 40 * min(first // 40, 2)]
        for byte in raw[1:]:
            value = value << 7 | byte & 0x7F
            if not byte & 0x80:
                parts.append(value)
                value = 0
        return ".".join(map(str, parts))


class SignedData:
    """The parts of a PKCS#7/CMS SignedData that install looks at."""

    def __init__(self, encoded):
        content_info = Der(encoded)
        if content_info.tag != SEQUENCE:
            raise ValueError("not a ContentInfo")
        explicit = content_info.children()[1]
        body = explicit.children()[0].children()
        self.certificates = []
        self.signers = []
        for part in body[3:]:
            if part.tag == CONTEXT_0:
                self.certificates = [certificate for certificate in part.children() if certificate.tag == SEQUENCE]
            elif part.tag == SET:
                self.signers = part.children()

    def signer_certificate(self, signer=0):
        """The encoding of the certificate the signer names, among those carried; None when
        none of them is it."""
        sid = self.signers[signer].children()[1]
        for certificate in self.certificates:
            if matches(certificate, sid):
                return certificate.encoded
        return None


def matches(certificate, sid):
    """Whether a certificate is the one a signer identifier names: by issuer and serial number,
    or by its subject key identifier."""
    tbs = certificate.children()[0].children()
    if tbs[0].tag == CONTEXT_0:
        tbs = tbs[1:]
    if sid.tag == SEQUENCE:
        issuer, serial = sid.children()
        return serial.encoded == tbs[0].encoded and issuer.encoded == tbs[2].encoded
    for part in tbs[6:]:
        if part.tag == EXTENSIONS:
            for extension in part.children()[0].children():
                fields = extension.children()
                if fields[0].oid() == SUBJECT_KEY_ID_OID:
                    return Der(fields[-1].content).content == sid.content
    return False


def publisher_certificate(program):
    """The certificate (DER) the build of install.exe at program requires of its media; None for a
    build that checks nothing, or a program that carries no such record."""
    with open(program, "rb") as file:
        data = file.read()
    at = data.find(PUBLISHER_TAG)
    if at < 0:
        return None
    start = at + len(PUBLISHER_TAG) + 4
    length = int.from_bytes(data[start - 4:start], "little")
    return data[start:start + length] or None


def structure_problem(signature, manifest, signer):
    """install's reason to refuse the signature before its value is verified, or None."""
    try:
        signed = SignedData(signature)
        if len(signed.signers) != 1:
            return NOT_ONE_SIGNER
        fields = signed.signers[0].children()
        if fields[2].children()[0].oid() != SHA256_OID:
            return NOT_SHA256
        digests = [attribute.children()[1].children() for attribute in
                   (fields[3].children() if fields[3].tag == CONTEXT_0 else [])
                   if attribute.children()[0].oid() == MESSAGE_DIGEST_OID]
        if not digests or len(digests[0]) != 1 or digests[0][0].tag != OCTET_STRING or \
                len(digests[0][0].content) != 32:
            return NO_DIGEST_ATTRIBUTE
        if digests[0][0].content != hashlib.sha256(manifest).digest():
            return DIGEST_DIFFERS
        if signed.signer_certificate() != signer:
            return OTHER_SIGNER
    except (ValueError, IndexError):
        return UNREADABLE
    return None


def pem(certificate):
    text = base64.encodebytes(certificate).decode("ascii")
    return f"-----BEGIN CERTIFICATE-----\n{text}-----END CERTIFICATE-----\n"


def value_verifies(root, signer):
    """Whether openssl verifies the signature value against install's signer: True, False, or
    None where openssl is not installed."""
    openssl = shutil.which("openssl")
    if openssl is None:
        return None
    with tempfile.TemporaryDirectory() as work:
        anchor = os.path.join(work, "signer.pem")
        with open(anchor, "w", encoding="ascii") as file:
            file.write(pem(signer))
        # The signer's own certificate is the one trust anchor; install looks at no chain and at
        # no validity period, and a code-signing certificate has no purpose openssl would accept.
        result = subprocess.run([openssl, "cms", "-verify", "-binary", "-inform", "DER",
                                 "-in", os.path.join(root, SIGNATURE), "-content", os.path.join(root, MANIFEST),
                                 "-CAfile", anchor, "-partial_chain", "-purpose", "any", "-no_check_time",
                                 "-out", os.devnull], capture_output=True)
    return result.returncode == 0


def media_refusal(root, program):
    """What the install.exe at program says of the media at root: (refusal or None, whether it
    could be checked here). One built without a publisher's certificate checks nothing."""
    signer = publisher_certificate(program)
    if signer is None:
        return None, True
    paths = [os.path.join(root, name) for name in (MANIFEST, SIGNATURE)]
    if not all(os.path.isfile(path) for path in paths):
        return NO_SIGNATURE.format(manifest=MANIFEST), True
    with open(paths[0], "rb") as manifest, open(paths[1], "rb") as signature:
        problem = structure_problem(signature.read(), manifest.read(), signer)
    if problem:
        return NOT_VERIFIED.format(manifest=MANIFEST, why=problem), True
    verified = value_verifies(root, signer)
    if verified is False:
        return NOT_VERIFIED.format(manifest=MANIFEST, why=BAD_SIGNATURE_VALUE), True
    return None, verified is not None
