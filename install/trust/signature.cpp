#include "signature.h"

#include <windows.h>

#include <wincrypt.h>

#include <cstring>
#include <vector>

#include "../../common/system_libraries.h"
#include "media_digest.h"
#include "../platform.h"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr char kSha256Oid[] = "2.16.840.1.101.3.4.2.1";
constexpr char kMessageDigestOid[] = "1.2.840.113549.1.9.4";
constexpr unsigned char kOctetString = 0x04;

constexpr char kNotOneSigner[] = "it does not carry exactly one signer";
constexpr char kNotSha256[] = "its digest is not SHA-256";
constexpr char kNoDigestAttribute[] = "it carries no signed message digest";
constexpr char kDigestDiffers[] = "the signed message digest is not the manifest's";
constexpr char kOtherSigner[] = "it was not made by the certificate install.exe was built with";
constexpr char kBadSignatureValue[] = "its signature value does not verify";
constexpr char kUnreadable[] = "it cannot be read as a CMS signature";

using CryptMsgOpenToDecodeFunction = HCRYPTMSG(WINAPI*)(DWORD, DWORD, DWORD, HCRYPTPROV_LEGACY, PCERT_INFO,
                                                         PCMSG_STREAM_INFO);
using CryptMsgUpdateFunction = BOOL(WINAPI*)(HCRYPTMSG, const BYTE*, DWORD, BOOL);
using CryptMsgGetParamFunction = BOOL(WINAPI*)(HCRYPTMSG, DWORD, DWORD, void*, DWORD*);
using CryptMsgControlFunction = BOOL(WINAPI*)(HCRYPTMSG, DWORD, DWORD, const void*);
using CryptMsgCloseFunction = BOOL(WINAPI*)(HCRYPTMSG);
using CertOpenStoreFunction = HCERTSTORE(WINAPI*)(LPCSTR, DWORD, HCRYPTPROV_LEGACY, DWORD, const void*);
using CertCloseStoreFunction = BOOL(WINAPI*)(HCERTSTORE, DWORD);
using CertGetSubjectCertificateFromStoreFunction = PCCERT_CONTEXT(WINAPI*)(HCERTSTORE, DWORD, PCERT_INFO);
using CertFreeCertificateContextFunction = BOOL(WINAPI*)(PCCERT_CONTEXT);

// Looked up, never imported: the 95 family and NT 4 may lack crypt32 or parts of it, and an
// import they cannot satisfy would keep install from starting there. Kept for the process, so
// that the owners can reach their release functions.
struct CryptFunctions {
    UniqueModule crypt32;
    CryptMsgOpenToDecodeFunction openToDecode = nullptr;
    CryptMsgUpdateFunction update = nullptr;
    CryptMsgGetParamFunction getParam = nullptr;
    CryptMsgControlFunction control = nullptr;
    CryptMsgCloseFunction closeMessage = nullptr;
    CertOpenStoreFunction openStore = nullptr;
    CertCloseStoreFunction closeStore = nullptr;
    CertGetSubjectCertificateFromStoreFunction findSubject = nullptr;
    CertFreeCertificateContextFunction freeCertificate = nullptr;
    bool complete() const
    {
        return openToDecode && update && getParam && control && closeMessage && openStore && closeStore &&
               findSubject && freeCertificate;
    }
};

const CryptFunctions& cryptFunctions()
{
    static const CryptFunctions functions = [] {
        CryptFunctions found;
        found.crypt32 = loadSystemLibrary("crypt32.dll");
        if (const HMODULE crypt32 = found.crypt32.get()) {
            found.openToDecode = resolveFunction<CryptMsgOpenToDecodeFunction>(crypt32, "CryptMsgOpenToDecode");
            found.update = resolveFunction<CryptMsgUpdateFunction>(crypt32, "CryptMsgUpdate");
            found.getParam = resolveFunction<CryptMsgGetParamFunction>(crypt32, "CryptMsgGetParam");
            found.control = resolveFunction<CryptMsgControlFunction>(crypt32, "CryptMsgControl");
            found.closeMessage = resolveFunction<CryptMsgCloseFunction>(crypt32, "CryptMsgClose");
            found.openStore = resolveFunction<CertOpenStoreFunction>(crypt32, "CertOpenStore");
            found.closeStore = resolveFunction<CertCloseStoreFunction>(crypt32, "CertCloseStore");
            found.findSubject = resolveFunction<CertGetSubjectCertificateFromStoreFunction>(
                crypt32, "CertGetSubjectCertificateFromStore");
            found.freeCertificate =
                resolveFunction<CertFreeCertificateContextFunction>(crypt32, "CertFreeCertificateContext");
        }
        return found;
    }();
    return functions;
}

struct CryptMessageTraits {
    using Value = HCRYPTMSG;
    static Value invalid() { return nullptr; }
    static BOOL close(Value message) { return cryptFunctions().closeMessage(message); }
};
using UniqueCryptMessage = UniqueResource<CryptMessageTraits>;

struct CertStoreTraits {
    using Value = HCERTSTORE;
    static Value invalid() { return nullptr; }
    static BOOL close(Value store) { return cryptFunctions().closeStore(store, 0); }
};
using UniqueCertStore = UniqueResource<CertStoreTraits>;

struct CertContextTraits {
    using Value = PCCERT_CONTEXT;
    static Value invalid() { return nullptr; }
    static BOOL close(Value certificate) { return cryptFunctions().freeCertificate(certificate); }
};
using UniqueCertContext = UniqueResource<CertContextTraits>;

// A parameter of the message in storage of its own size; empty when the message has none.
std::vector<unsigned char> messageParam(HCRYPTMSG message, DWORD param, DWORD index = 0)
{
    DWORD size = 0;
    if (!cryptFunctions().getParam(message, param, index, nullptr, &size) || size == 0)
        return {};
    // Storage aligned for the structures crypt32 writes into it.
    std::vector<unsigned char> storage(size + sizeof(void*));
    if (!cryptFunctions().getParam(message, param, index, storage.data(), &size))
        return {};
    return storage;
}

bool updateMessage(HCRYPTMSG message, std::string_view bytes)
{
    return cryptFunctions().update(message, reinterpret_cast<const BYTE*>(bytes.data()),
                                   static_cast<DWORD>(bytes.size()), TRUE);
}

// The signer's certificate, from the certificates the message carries.
UniqueCertContext findSignerCertificate(HCRYPTMSG message, UniqueCertStore& store)
{
    std::vector<unsigned char> signerId = messageParam(message, CMSG_SIGNER_CERT_INFO_PARAM);
    if (signerId.empty())
        return {};
    store = UniqueCertStore(cryptFunctions().openStore(CERT_STORE_PROV_MSG, kEncoding, 0, 0, message));
    if (!store)
        return {};
    return UniqueCertContext(
        cryptFunctions().findSubject(store.get(), kEncoding, reinterpret_cast<PCERT_INFO>(signerId.data())));
}

std::string_view encodedBytes(PCCERT_CONTEXT certificate)
{
    return {reinterpret_cast<const char*>(certificate->pbCertEncoded), certificate->cbCertEncoded};
}

// The value of the signed messageDigest attribute: an OCTET STRING of 32 bytes.
std::optional<std::string_view> signedMessageDigest(const CMSG_SIGNER_INFO& signer)
{
    for (DWORD i = 0; i < signer.AuthAttrs.cAttr; ++i) {
        const CRYPT_ATTRIBUTE& attribute = signer.AuthAttrs.rgAttr[i];
        if (!attribute.pszObjId || std::strcmp(attribute.pszObjId, kMessageDigestOid) != 0)
            continue;
        if (attribute.cValue != 1)
            return std::nullopt;
        const CRYPT_ATTR_BLOB& value = attribute.rgValue[0];
        if (value.cbData != 2 + sizeof(Sha256Digest) || value.pbData[0] != kOctetString ||
            value.pbData[1] != sizeof(Sha256Digest))
            return std::nullopt;
        return std::string_view(reinterpret_cast<const char*>(value.pbData) + 2, sizeof(Sha256Digest));
    }
    return std::nullopt;
}

} // namespace

bool cryptMessagesAvailable()
{
    return cryptFunctions().complete() && systemSha256Available();
}

bool verifyDetachedSignature(std::string_view signature, std::string_view content, std::string_view signer,
                             std::string& reason)
{
    reason = kUnreadable;
    const UniqueCryptMessage message(
        cryptFunctions().openToDecode(kEncoding, CMSG_DETACHED_FLAG, 0, 0, nullptr, nullptr));
    if (!message || !updateMessage(message.get(), signature) || !updateMessage(message.get(), content))
        return false;
    const std::vector<unsigned char> count = messageParam(message.get(), CMSG_SIGNER_COUNT_PARAM);
    if (count.size() < sizeof(DWORD) || *reinterpret_cast<const DWORD*>(count.data()) != 1) {
        reason = kNotOneSigner;
        return false;
    }
    std::vector<unsigned char> info = messageParam(message.get(), CMSG_SIGNER_INFO_PARAM);
    if (info.empty())
        return false;
    const auto& signerInfo = *reinterpret_cast<const CMSG_SIGNER_INFO*>(info.data());
    if (!signerInfo.HashAlgorithm.pszObjId || std::strcmp(signerInfo.HashAlgorithm.pszObjId, kSha256Oid) != 0) {
        reason = kNotSha256;
        return false;
    }
    // Wine's crypt32 verifies the signature over the signed attributes but never compares the
    // content with them; Windows does both. Comparing here makes the check the same on both.
    const std::optional<std::string_view> signedDigest = signedMessageDigest(signerInfo);
    if (!signedDigest) {
        reason = kNoDigestAttribute;
        return false;
    }
    const std::optional<Sha256Digest> digest = sha256OfBytes(content);
    if (!digest || std::memcmp(digest->data(), signedDigest->data(), digest->size()) != 0) {
        reason = kDigestDiffers;
        return false;
    }
    UniqueCertStore store;
    const UniqueCertContext certificate = findSignerCertificate(message.get(), store);
    if (!certificate || encodedBytes(certificate.get()) != signer) {
        reason = kOtherSigner;
        return false;
    }
    if (!cryptFunctions().control(message.get(), 0, CMSG_CTRL_VERIFY_SIGNATURE, certificate.get()->pCertInfo)) {
        reason = kBadSignatureValue;
        return false;
    }
    reason.clear();
    return true;
}
