// CNG's hashing, ECDSA verification and random source over libcrypto.
//
// Handles are host objects that are only ever compared against the set of
// live ones, so a stale or made-up handle is refused instead of followed.
#include "wince/bcrypt.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>
#include <string_view>

namespace {

constexpr ULONG kSha256Length = 32;
constexpr ULONG kP256CoordinateLength = 32;

enum class Kind { kAlgorithm, kHash, kKey };
enum class Algorithm { kSha256, kEcdsaP256 };

struct Object {
    Kind kind;
    explicit Object(Kind k) : kind(k) {}
    virtual ~Object() = default;
};

struct AlgorithmObject : Object {
    Algorithm algorithm;
    explicit AlgorithmObject(Algorithm a) : Object(Kind::kAlgorithm), algorithm(a) {}
};

struct HashObject : Object {
    EVP_MD_CTX* context = nullptr;
    bool finished = false;
    HashObject() : Object(Kind::kHash) {}
    ~HashObject() override { EVP_MD_CTX_free(context); }
};

struct KeyObject : Object {
    EVP_PKEY* key = nullptr;
    KeyObject() : Object(Kind::kKey) {}
    ~KeyObject() override { EVP_PKEY_free(key); }
};

std::mutex g_mutex;
std::set<const Object*>& Live() {
    static std::set<const Object*> live;
    return live;
}

void* Register(Object* object) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Live().insert(object);
    return object;
}

template <class T>
T* Find(void* handle, Kind kind) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto* object = static_cast<Object*>(handle);
    if (handle == nullptr || Live().count(object) == 0 || object->kind != kind)
        return nullptr;
    return static_cast<T*>(object);
}

NTSTATUS Destroy(void* handle, Kind kind) {
    Object* object = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto* candidate = static_cast<Object*>(handle);
        if (handle == nullptr || Live().count(candidate) == 0 || candidate->kind != kind)
            return STATUS_INVALID_HANDLE;
        Live().erase(candidate);
        object = candidate;
    }
    delete object;
    return STATUS_SUCCESS;
}

bool Same(LPCWSTR text, std::u16string_view expected) {
    return text != nullptr && std::u16string_view(text) == expected;
}

// r‖s as the DER ECDSA-Sig-Value that libcrypto verifies; empty on failure.
int ToDer(const UCHAR* signature, unsigned char* der, int capacity) {
    ECDSA_SIG* sig = ECDSA_SIG_new();
    BIGNUM* r = BN_bin2bn(signature, kP256CoordinateLength, nullptr);
    BIGNUM* s = BN_bin2bn(signature + kP256CoordinateLength, kP256CoordinateLength, nullptr);
    int length = 0;
    if (sig != nullptr && r != nullptr && s != nullptr && ECDSA_SIG_set0(sig, r, s) == 1) {
        r = s = nullptr;  // owned by sig now
        if (i2d_ECDSA_SIG(sig, nullptr) <= capacity) {
            unsigned char* out = der;
            length = i2d_ECDSA_SIG(sig, &out);
        }
    }
    BN_free(r);
    BN_free(s);
    ECDSA_SIG_free(sig);
    return length > 0 ? length : 0;
}

}  // namespace

NTSTATUS WINAPI BCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE* algorithm, LPCWSTR algorithmId,
                                            LPCWSTR implementation, ULONG flags) {
    if (algorithm == nullptr || algorithmId == nullptr || flags != 0)
        return STATUS_INVALID_PARAMETER;
    if (implementation != nullptr && !Same(implementation, MS_PRIMITIVE_PROVIDER))
        return STATUS_NOT_FOUND;
    Algorithm kind;
    if (Same(algorithmId, BCRYPT_SHA256_ALGORITHM))
        kind = Algorithm::kSha256;
    else if (Same(algorithmId, BCRYPT_ECDSA_P256_ALGORITHM))
        kind = Algorithm::kEcdsaP256;
    else
        return STATUS_NOT_FOUND;
    *algorithm = static_cast<BCRYPT_ALG_HANDLE>(Register(new AlgorithmObject(kind)));
    return STATUS_SUCCESS;
}

NTSTATUS WINAPI BCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE algorithm, ULONG) {
    return Destroy(algorithm, Kind::kAlgorithm);
}

NTSTATUS WINAPI BCryptCreateHash(BCRYPT_ALG_HANDLE algorithm, BCRYPT_HASH_HANDLE* hash, PUCHAR,
                                 ULONG, PUCHAR secret, ULONG secretLength, ULONG flags) {
    auto* provider = Find<AlgorithmObject>(algorithm, Kind::kAlgorithm);
    if (provider == nullptr || provider->algorithm != Algorithm::kSha256)
        return STATUS_INVALID_HANDLE;
    if (hash == nullptr || flags != 0)
        return STATUS_INVALID_PARAMETER;
    if (secret != nullptr || secretLength != 0)
        return STATUS_NOT_SUPPORTED;  // no HMAC: the provider was not opened for it
    auto* object = new HashObject();
    object->context = EVP_MD_CTX_new();
    if (object->context == nullptr ||
        EVP_DigestInit_ex(object->context, EVP_sha256(), nullptr) != 1) {
        delete object;
        return STATUS_NO_MEMORY;
    }
    *hash = static_cast<BCRYPT_HASH_HANDLE>(Register(object));
    return STATUS_SUCCESS;
}

NTSTATUS WINAPI BCryptHashData(BCRYPT_HASH_HANDLE hash, PUCHAR input, ULONG inputLength,
                               ULONG flags) {
    auto* object = Find<HashObject>(hash, Kind::kHash);
    if (object == nullptr || object->finished)
        return STATUS_INVALID_HANDLE;
    if ((input == nullptr && inputLength != 0) || flags != 0)
        return STATUS_INVALID_PARAMETER;
    if (inputLength != 0 && EVP_DigestUpdate(object->context, input, inputLength) != 1)
        return STATUS_NO_MEMORY;
    return STATUS_SUCCESS;
}

NTSTATUS WINAPI BCryptFinishHash(BCRYPT_HASH_HANDLE hash, PUCHAR output, ULONG outputLength,
                                 ULONG flags) {
    auto* object = Find<HashObject>(hash, Kind::kHash);
    if (object == nullptr || object->finished)
        return STATUS_INVALID_HANDLE;
    if (output == nullptr || outputLength != kSha256Length || flags != 0)
        return STATUS_INVALID_PARAMETER;
    unsigned int length = 0;
    object->finished = true;
    if (EVP_DigestFinal_ex(object->context, output, &length) != 1 || length != kSha256Length)
        return STATUS_NO_MEMORY;
    return STATUS_SUCCESS;
}

NTSTATUS WINAPI BCryptDestroyHash(BCRYPT_HASH_HANDLE hash) {
    return Destroy(hash, Kind::kHash);
}

NTSTATUS WINAPI BCryptImportKeyPair(BCRYPT_ALG_HANDLE algorithm, BCRYPT_KEY_HANDLE importKey,
                                    LPCWSTR blobType, BCRYPT_KEY_HANDLE* key, PUCHAR input,
                                    ULONG inputLength, ULONG flags) {
    auto* provider = Find<AlgorithmObject>(algorithm, Kind::kAlgorithm);
    if (provider == nullptr || provider->algorithm != Algorithm::kEcdsaP256)
        return STATUS_INVALID_HANDLE;
    if (importKey != nullptr || key == nullptr || input == nullptr || flags != 0)
        return STATUS_INVALID_PARAMETER;
    if (!Same(blobType, BCRYPT_ECCPUBLIC_BLOB))
        return STATUS_NOT_SUPPORTED;
    BCRYPT_ECCKEY_BLOB header;
    if (inputLength != sizeof header + 2 * kP256CoordinateLength)
        return STATUS_INVALID_PARAMETER;
    std::memcpy(&header, input, sizeof header);
    if (header.dwMagic != BCRYPT_ECDSA_PUBLIC_P256_MAGIC || header.cbKey != kP256CoordinateLength)
        return STATUS_INVALID_PARAMETER;

    unsigned char point[1 + 2 * kP256CoordinateLength];
    point[0] = POINT_CONVERSION_UNCOMPRESSED;
    std::memcpy(point + 1, input + sizeof header, 2 * kP256CoordinateLength);
    char group[] = "prime256v1";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
        OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point),
        OSSL_PARAM_construct_end()};
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
    EVP_PKEY* pkey = nullptr;
    // A point off the curve is refused by the import itself.
    bool imported = context != nullptr && EVP_PKEY_fromdata_init(context) == 1 &&
                    EVP_PKEY_fromdata(context, &pkey, EVP_PKEY_PUBLIC_KEY, params) == 1;
    EVP_PKEY_CTX_free(context);
    if (!imported) {
        EVP_PKEY_free(pkey);
        return STATUS_INVALID_PARAMETER;
    }
    auto* object = new KeyObject();
    object->key = pkey;
    *key = static_cast<BCRYPT_KEY_HANDLE>(Register(object));
    return STATUS_SUCCESS;
}

NTSTATUS WINAPI BCryptVerifySignature(BCRYPT_KEY_HANDLE key, void* paddingInfo, PUCHAR hash,
                                      ULONG hashLength, PUCHAR signature, ULONG signatureLength,
                                      ULONG flags) {
    auto* object = Find<KeyObject>(key, Kind::kKey);
    if (object == nullptr)
        return STATUS_INVALID_HANDLE;
    if (paddingInfo != nullptr || hash == nullptr || hashLength == 0 || signature == nullptr ||
        flags != 0)
        return STATUS_INVALID_PARAMETER;
    if (signatureLength != 2 * kP256CoordinateLength)
        return STATUS_INVALID_PARAMETER;
    unsigned char der[80];
    int derLength = ToDer(signature, der, sizeof der);
    if (derLength == 0)
        return STATUS_NO_MEMORY;
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(object->key, nullptr);
    // r or s of zero or out of range is a signature that does not verify
    // (EVP_PKEY_verify then reports an error rather than 0).
    bool good = context != nullptr && EVP_PKEY_verify_init(context) == 1 &&
                EVP_PKEY_verify(context, der, derLength, hash, hashLength) == 1;
    EVP_PKEY_CTX_free(context);
    return good ? STATUS_SUCCESS : STATUS_INVALID_SIGNATURE;
}

NTSTATUS WINAPI BCryptDestroyKey(BCRYPT_KEY_HANDLE key) {
    return Destroy(key, Kind::kKey);
}

NTSTATUS WINAPI BCryptGenRandom(BCRYPT_ALG_HANDLE algorithm, PUCHAR buffer, ULONG bufferLength,
                                ULONG flags) {
    // No RNG provider is offered: only the system-preferred source.
    if (algorithm != nullptr)
        return STATUS_INVALID_HANDLE;
    if (flags != BCRYPT_USE_SYSTEM_PREFERRED_RNG || (buffer == nullptr && bufferLength != 0))
        return STATUS_INVALID_PARAMETER;
    ULONG done = 0;
    while (done < bufferLength) {
        ssize_t n = getrandom(buffer + done, bufferLength - done, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return STATUS_NOT_SUPPORTED;
        }
        done += static_cast<ULONG>(n);
    }
    return STATUS_SUCCESS;
}
