// Signed answers. A build with an answer key sends a fresh nonce with every
// request (Winm-Key: <id>:<32 hex digits>) and accepts an answer only when
// its Winm-Signature (<id>:<r‖s as 128 hex digits>) is the key's ECDSA
// P-256 signature of SHA-256(request body) ‖ SHA-256(response body) ‖ the
// Winm-Key value as sent. A build without a key does none of this.
#pragma once

#include <cstdint>

#include "common/base/growablearray.h"
#include "common/base/trackedalloc.h"
#include "common/base/winm/internal/winmcng.h"

struct AnswerKey {
    uint8_t id;     // 1-255
    uint8_t x[32];  // the public point, big-endian
    uint8_t y[32];
};

// The key this build carries, or null (answerkey.cpp).
const AnswerKey* BuiltInAnswerKey();

constexpr char kAnswerKeyHeader[] = "Winm-Key";
constexpr char kAnswerSignatureHeader[] = "Winm-Signature";
// Longer Winm-Signature values are refused unread.
constexpr int kMaxSignatureValueLength = 200;

enum class SignatureVerdict {
    kGood,
    kMissing,
    kMalformed,
    kOtherKey,
    kDoesNotVerify,
    kNoCryptography,
};

// Reads one Winm-Signature value: "<id>:<128 lowercase hex digits>", the id
// decimal 1-255 without leading zeros. kMalformed for anything else,
// kOtherKey (with *id set) for another id, else kGood with the 64 bytes of
// r‖s in signature.
SignatureVerdict ParseSignatureValue(const uint8_t* value, int length, uint8_t expectedId,
                                     uint8_t signature[64], int* id);

class AnswerSignature {
  public:
    WINM_TRACKED_ALLOCATION;

    explicit AnswerSignature(const AnswerKey& key) : key_(key) {}

    // Binds the platform's cryptography and draws this exchange's nonce from
    // its random source; false when the cryptography is not usable.
    bool Begin();
    // As Begin, with a given nonce.
    bool BeginWithNonce(const uint8_t nonce[16]);
    // The Winm-Key value as sent (UTF-8 bytes).
    const GrowableArray& keyValue() const { return keyValue_; }

    // signatureCount Winm-Signature lines were received, the first with
    // value firstValue; checks them against both bodies.
    SignatureVerdict Check(int signatureCount, const GrowableArray& firstValue,
                           const GrowableArray& requestBody, const GrowableArray& responseBody);
    // The id of an answer signed with another key (after kOtherKey).
    int otherKeyId() const { return otherKeyId_; }

  private:
    bool Sha256(const uint8_t* first, int firstLength, const uint8_t* second, int secondLength,
                const uint8_t* third, int thirdLength, uint8_t digest[32]);
    bool VerifyDigest(const uint8_t digest[32], const uint8_t signature[64], bool* good);

    const AnswerKey& key_;
    WinmCng cng_;
    GrowableArray keyValue_{1};
    int otherKeyId_ = 0;
};
