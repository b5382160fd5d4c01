#include "common/src/answersignature.h"

#include <cstring>

namespace {

constexpr char kHex[] = "0123456789abcdef";

int HexValue(uint8_t c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

void AppendText(GrowableArray& to, const char* text, int length) {
    to.InsertAt(to.End(), length, text);
}

}  // namespace

SignatureVerdict ParseSignatureValue(const uint8_t* value, int length, uint8_t expectedId,
                                     uint8_t signature[64], int* id) {
    if (value == nullptr || length <= 0 || length > kMaxSignatureValueLength)
        return SignatureVerdict::kMalformed;
    int at = 0;
    int number = 0;
    while (at < length && at < 3 && value[at] >= '0' && value[at] <= '9') {
        number = number * 10 + (value[at] - '0');
        ++at;
    }
    if (at == 0 || at >= length || value[at] != ':' || number < 1 || number > 255 ||
        value[0] == '0')
        return SignatureVerdict::kMalformed;
    ++at;
    if (length - at != 128)
        return SignatureVerdict::kMalformed;
    for (int i = 0; i < 64; ++i) {
        const int high = HexValue(value[at + 2 * i]);
        const int low = HexValue(value[at + 2 * i + 1]);
        if (high < 0 || low < 0)
            return SignatureVerdict::kMalformed;
        signature[i] = static_cast<uint8_t>(high << 4 | low);
    }
    if (number != expectedId) {
        if (id != nullptr)
            *id = number;
        return SignatureVerdict::kOtherKey;
    }
    return SignatureVerdict::kGood;
}

bool AnswerSignature::Begin() {
    uint8_t nonce[16];
    if (!cng_.Load())
        return false;
    if (!BCRYPT_SUCCESS(
            cng_.BCryptGenRandom(nullptr, nonce, sizeof nonce, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
        cng_.Unload();
        return false;
    }
    return BeginWithNonce(nonce);
}

bool AnswerSignature::BeginWithNonce(const uint8_t nonce[16]) {
    if (cng_.bcrypt == nullptr && !cng_.Load())
        return false;
    char text[3 + 1 + 32];
    int length = 0;
    // The id in decimal, then the nonce in lowercase hex.
    if (key_.id >= 100)
        text[length++] = static_cast<char>('0' + key_.id / 100);
    if (key_.id >= 10)
        text[length++] = static_cast<char>('0' + key_.id / 10 % 10);
    text[length++] = static_cast<char>('0' + key_.id % 10);
    text[length++] = ':';
    for (int i = 0; i < 16; ++i) {
        text[length++] = kHex[nonce[i] >> 4];
        text[length++] = kHex[nonce[i] & 15];
    }
    keyValue_.SetCount(0);
    AppendText(keyValue_, text, length);
    return true;
}

bool AnswerSignature::Sha256(const uint8_t* first, int firstLength, const uint8_t* second,
                             int secondLength, const uint8_t* third, int thirdLength,
                             uint8_t digest[32]) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!BCRYPT_SUCCESS(
            cng_.BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
        return false;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool ok = BCRYPT_SUCCESS(cng_.BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0));
    const uint8_t* pieces[] = {first, second, third};
    const int lengths[] = {firstLength, secondLength, thirdLength};
    for (int i = 0; ok && i < 3; ++i) {
        if (lengths[i] > 0)
            ok = BCRYPT_SUCCESS(cng_.BCryptHashData(hash, const_cast<PUCHAR>(pieces[i]),
                                                    static_cast<ULONG>(lengths[i]), 0));
    }
    ok = ok && BCRYPT_SUCCESS(cng_.BCryptFinishHash(hash, digest, 32, 0));
    if (hash != nullptr)
        cng_.BCryptDestroyHash(hash);
    cng_.BCryptCloseAlgorithmProvider(algorithm, 0);
    return ok;
}

bool AnswerSignature::VerifyDigest(const uint8_t digest[32], const uint8_t signature[64],
                                   bool* good) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!BCRYPT_SUCCESS(
            cng_.BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0)))
        return false;
    uint8_t blob[sizeof(BCRYPT_ECCKEY_BLOB) + 64];
    BCRYPT_ECCKEY_BLOB header;
    header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
    header.cbKey = 32;
    std::memcpy(blob, &header, sizeof header);
    std::memcpy(blob + sizeof header, key_.x, 32);
    std::memcpy(blob + sizeof header + 32, key_.y, 32);
    BCRYPT_KEY_HANDLE key = nullptr;
    const bool imported = BCRYPT_SUCCESS(cng_.BCryptImportKeyPair(
        algorithm, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key, blob, sizeof blob, 0));
    if (imported) {
        *good = cng_.BCryptVerifySignature(key, nullptr, const_cast<PUCHAR>(digest), 32,
                                           const_cast<PUCHAR>(signature), 64, 0) == 0;
        cng_.BCryptDestroyKey(key);
    }
    cng_.BCryptCloseAlgorithmProvider(algorithm, 0);
    return imported;
}

SignatureVerdict AnswerSignature::Check(int signatureCount, const GrowableArray& firstValue,
                                        const GrowableArray& requestBody,
                                        const GrowableArray& responseBody) {
    if (cng_.bcrypt == nullptr || keyValue_.count == 0)
        return SignatureVerdict::kNoCryptography;
    if (signatureCount == 0)
        return SignatureVerdict::kMissing;
    if (signatureCount > 1)
        return SignatureVerdict::kMalformed;
    uint8_t signature[64];
    SignatureVerdict verdict =
        ParseSignatureValue(firstValue.Bytes(), firstValue.count, key_.id, signature, &otherKeyId_);
    if (verdict != SignatureVerdict::kGood)
        return verdict;

    uint8_t hashes[64];
    uint8_t digest[32];
    if (!Sha256(requestBody.Bytes(), requestBody.count, nullptr, 0, nullptr, 0, hashes) ||
        !Sha256(responseBody.Bytes(), responseBody.count, nullptr, 0, nullptr, 0, hashes + 32) ||
        !Sha256(hashes, 32, hashes + 32, 32, keyValue_.Bytes(), keyValue_.count, digest))
        return SignatureVerdict::kNoCryptography;
    bool good = false;
    if (!VerifyDigest(digest, signature, &good))
        return SignatureVerdict::kNoCryptography;
    return good ? SignatureVerdict::kGood : SignatureVerdict::kDoesNotVerify;
}
