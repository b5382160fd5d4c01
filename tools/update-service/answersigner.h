// The service's side of signed answers: signs each answer with the ECDSA
// P-256 key the request's Winm-Key names, over SHA-256(request body) ‖
// SHA-256(response body) ‖ the Winm-Key value as received.
#pragma once

#include <map>
#include <memory>
#include <string>

enum class SignFault {
    kNone,
    kNonce,   // signed for another nonce, as a replayed answer is
    kBody,    // the body changed after signing
    kTwice,   // the signature in two Winm-Signature headers
    kPadded,  // the signature with blanks after it, under a lower-case name
};

class AnswerSigner {
  public:
    AnswerSigner();
    ~AnswerSigner();

    // Adds the PEM private key in path under id (1-255); false with error set.
    bool AddKey(const std::string& path, int id, std::string& error);
    bool empty() const { return keys_.empty(); }
    SignFault fault = SignFault::kNone;

    // The Winm-Signature value for an answer, made with the key the
    // Winm-Key value names or else the first key added; may change body
    // (SignFault::kBody). Empty when signing failed.
    std::string Sign(const std::string& requestBody, std::string& body,
                     const std::string& keyValue) const;

  private:
    struct Key;
    std::map<int, std::unique_ptr<Key>> keys_;
    int firstId_ = 0;
};
