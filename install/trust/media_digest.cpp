#include "media_digest.h"

#include <memory>

#include "../../common/system_libraries.h"
#include "../platform.h"
#include "sha256_instructions.h"

namespace {

constexpr DWORD kReadChunk = 1024 * 1024;
constexpr wchar_t kCngSha256[] = L"SHA256";
constexpr ALG_ID kCalgSha256 = 0x0000800c;
constexpr DWORD kProvRsaAes = 24;

using BCryptOpenAlgorithmProviderFunction = LONG(WINAPI*)(void**, const wchar_t*, const wchar_t*, ULONG);
using BCryptCloseAlgorithmProviderFunction = LONG(WINAPI*)(void*, ULONG);
using BCryptCreateHashFunction = LONG(WINAPI*)(void*, void**, UCHAR*, ULONG, UCHAR*, ULONG, ULONG);
using BCryptHashDataFunction = LONG(WINAPI*)(void*, UCHAR*, ULONG, ULONG);
using BCryptFinishHashFunction = LONG(WINAPI*)(void*, UCHAR*, ULONG, ULONG);
using BCryptDestroyHashFunction = LONG(WINAPI*)(void*);
using CryptAcquireContextFunction = BOOL(WINAPI*)(ULONG_PTR*, const char*, const char*, DWORD, DWORD);
using CryptReleaseContextFunction = BOOL(WINAPI*)(ULONG_PTR, DWORD);
using CryptCreateHashFunction = BOOL(WINAPI*)(ULONG_PTR, ALG_ID, ULONG_PTR, DWORD, ULONG_PTR*);
using CryptHashDataFunction = BOOL(WINAPI*)(ULONG_PTR, const BYTE*, DWORD, DWORD);
using CryptGetHashParamFunction = BOOL(WINAPI*)(ULONG_PTR, DWORD, BYTE*, DWORD*, DWORD);
using CryptDestroyHashFunction = BOOL(WINAPI*)(ULONG_PTR);

// The functions of whichever library serves; looked up once and kept for the process, so that
// the owners below can reach their release functions.
struct DigestFunctions {
    UniqueModule bcrypt;
    BCryptOpenAlgorithmProviderFunction openAlgorithm = nullptr;
    BCryptCloseAlgorithmProviderFunction closeAlgorithm = nullptr;
    BCryptCreateHashFunction createHash = nullptr;
    BCryptHashDataFunction hashData = nullptr;
    BCryptFinishHashFunction finishHash = nullptr;
    BCryptDestroyHashFunction destroyHash = nullptr;
    CryptAcquireContextFunction acquireContext = nullptr;
    CryptReleaseContextFunction releaseContext = nullptr;
    CryptCreateHashFunction createLegacyHash = nullptr;
    CryptHashDataFunction hashLegacyData = nullptr;
    CryptGetHashParamFunction getHashParam = nullptr;
    CryptDestroyHashFunction destroyLegacyHash = nullptr;
    bool cng() const { return openAlgorithm && closeAlgorithm && createHash && hashData && finishHash && destroyHash; }
    bool legacy() const
    {
        return acquireContext && releaseContext && createLegacyHash && hashLegacyData && getHashParam &&
               destroyLegacyHash;
    }
};

const DigestFunctions& digestFunctions()
{
    static const DigestFunctions functions = [] {
        DigestFunctions found;
        found.bcrypt = loadSystemLibrary("bcrypt.dll");
        if (const HMODULE bcrypt = found.bcrypt.get()) {
            found.openAlgorithm = resolveFunction<BCryptOpenAlgorithmProviderFunction>(bcrypt, "BCryptOpenAlgorithmProvider");
            found.closeAlgorithm = resolveFunction<BCryptCloseAlgorithmProviderFunction>(bcrypt, "BCryptCloseAlgorithmProvider");
            found.createHash = resolveFunction<BCryptCreateHashFunction>(bcrypt, "BCryptCreateHash");
            found.hashData = resolveFunction<BCryptHashDataFunction>(bcrypt, "BCryptHashData");
            found.finishHash = resolveFunction<BCryptFinishHashFunction>(bcrypt, "BCryptFinishHash");
            found.destroyHash = resolveFunction<BCryptDestroyHashFunction>(bcrypt, "BCryptDestroyHash");
        }
        // install imports ADVAPI32 for the registry, so it is loaded already.
        if (const HMODULE advapi = GetModuleHandleA("advapi32.dll")) {
            found.acquireContext = resolveFunction<CryptAcquireContextFunction>(advapi, "CryptAcquireContextA");
            found.releaseContext = resolveFunction<CryptReleaseContextFunction>(advapi, "CryptReleaseContext");
            found.createLegacyHash = resolveFunction<CryptCreateHashFunction>(advapi, "CryptCreateHash");
            found.hashLegacyData = resolveFunction<CryptHashDataFunction>(advapi, "CryptHashData");
            found.getHashParam = resolveFunction<CryptGetHashParamFunction>(advapi, "CryptGetHashParam");
            found.destroyLegacyHash = resolveFunction<CryptDestroyHashFunction>(advapi, "CryptDestroyHash");
        }
        return found;
    }();
    return functions;
}

struct CngAlgorithmTraits {
    using Value = void*;
    static Value invalid() { return nullptr; }
    static LONG close(Value algorithm) { return digestFunctions().closeAlgorithm(algorithm, 0); }
};
struct CngHashTraits {
    using Value = void*;
    static Value invalid() { return nullptr; }
    static LONG close(Value hash) { return digestFunctions().destroyHash(hash); }
};
struct CryptProviderTraits {
    using Value = ULONG_PTR;
    static Value invalid() { return 0; }
    static BOOL close(Value provider) { return digestFunctions().releaseContext(provider, 0); }
};
struct CryptHashTraits {
    using Value = ULONG_PTR;
    static Value invalid() { return 0; }
    static BOOL close(Value hash) { return digestFunctions().destroyLegacyHash(hash); }
};

// One SHA-256 computation: with the processor's SHA instructions where it has them, else on
// whichever library serves. The algorithm or provider is opened afresh for each: a handful per
// run.
class Sha256 {
public:
    Sha256()
    {
        if (processorHasShaInstructions()) {
            fast_.emplace();
            return;
        }
        const DigestFunctions& f = digestFunctions();
        if (f.cng() && f.openAlgorithm(algorithm_.put(), kCngSha256, nullptr, 0) == 0 &&
            f.createHash(algorithm_.get(), hash_.put(), nullptr, 0, nullptr, 0, 0) == 0)
            return;
        hash_.reset();
        algorithm_.reset();
        if (f.legacy() && f.acquireContext(provider_.put(), nullptr, nullptr, kProvRsaAes, CRYPT_VERIFYCONTEXT))
            f.createLegacyHash(provider_.get(), kCalgSha256, 0, 0, legacyHash_.put());
    }

    bool ready() const { return fast_ || static_cast<bool>(hash_) || static_cast<bool>(legacyHash_); }

    bool add(const unsigned char* data, DWORD size)
    {
        if (fast_) {
            fast_->add(data, size);
            return true;
        }
        if (hash_)
            return digestFunctions().hashData(hash_.get(), const_cast<UCHAR*>(data), size, 0) == 0;
        return legacyHash_ && digestFunctions().hashLegacyData(legacyHash_.get(), data, size, 0);
    }

    std::optional<Sha256Digest> finish()
    {
        if (fast_)
            return fast_->finish();
        Sha256Digest digest{};
        if (hash_)
            return digestFunctions().finishHash(hash_.get(), digest.data(), digest.size(), 0) == 0
                       ? std::optional(digest) : std::nullopt;
        DWORD size = digest.size();
        if (legacyHash_ && digestFunctions().getHashParam(legacyHash_.get(), HP_HASHVAL, digest.data(), &size, 0) &&
            size == digest.size())
            return digest;
        return std::nullopt;
    }

private:
    std::optional<InstructionSha256> fast_;
    // Declared in the order they must go: the hash before its algorithm or provider.
    UniqueResource<CngAlgorithmTraits> algorithm_;
    UniqueResource<CngHashTraits> hash_;
    UniqueResource<CryptProviderTraits> provider_;
    UniqueResource<CryptHashTraits> legacyHash_;
};

} // namespace

bool systemSha256Available()
{
    return Sha256().ready();
}

std::optional<Sha256Digest> sha256OfBytes(std::string_view bytes)
{
    Sha256 hash;
    if (!hash.ready() ||
        !hash.add(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<DWORD>(bytes.size())))
        return std::nullopt;
    return hash.finish();
}

std::optional<FileDigest> sha256OfFile(HANDLE file)
{
    Sha256 hash;
    if (!hash.ready() || SetFilePointer(file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
        return std::nullopt;
    const std::unique_ptr<unsigned char[]> buffer = std::make_unique_for_overwrite<unsigned char[]>(kReadChunk);
    FileDigest result;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, buffer.get(), kReadChunk, &got, nullptr))
            return std::nullopt;
        if (got == 0)
            break;
        if (!hash.add(buffer.get(), got))
            return std::nullopt;
        result.size += got;
    }
    const std::optional<Sha256Digest> digest = hash.finish();
    if (!digest)
        return std::nullopt;
    result.digest = *digest;
    return result;
}
