#include "tools/update-service/answersigner.h"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>

#include <cstdio>
#include <cstring>
#include <vector>

struct AnswerSigner::Key {
    EVP_PKEY* pkey = nullptr;
    ~Key() { EVP_PKEY_free(pkey); }
};

namespace {

std::string Sha256(const std::string& data) {
    unsigned char digest[32];
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr);
    return std::string(reinterpret_cast<char*>(digest), length);
}

std::string Hex(const unsigned char* bytes, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < n; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

}  // namespace

AnswerSigner::AnswerSigner() = default;
AnswerSigner::~AnswerSigner() = default;

bool AnswerSigner::AddKey(const std::string& path, int id, std::string& error) {
    if (id < 1 || id > 255) {
        error = "bad key id " + std::to_string(id) + " (1-255)";
        return false;
    }
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    auto key = std::make_unique<Key>();
    key->pkey = PEM_read_PrivateKey(file, nullptr, nullptr, nullptr);
    std::fclose(file);
    char group[64] = "";
    size_t groupLength = 0;
    if (key->pkey == nullptr || !EVP_PKEY_is_a(key->pkey, "EC") ||
        EVP_PKEY_get_group_name(key->pkey, group, sizeof group, &groupLength) != 1 ||
        std::strcmp(group, "prime256v1") != 0) {
        error = path + " is not a PEM ECDSA P-256 private key";
        return false;
    }
    if (keys_.empty())
        firstId_ = id;
    keys_[id] = std::move(key);
    return true;
}

std::string AnswerSigner::Sign(const std::string& requestBody, std::string& body,
                               const std::string& keyValue) const {
    // The id the request names ("<id>:<nonce>"), if this service has it.
    int id = firstId_;
    size_t colon = keyValue.find(':');
    if (colon != std::string::npos && colon > 0 && colon <= 3 &&
        keyValue.find_first_not_of("0123456789") == colon) {
        int named = std::stoi(keyValue.substr(0, colon));
        if (keys_.count(named) != 0)
            id = named;
    }
    std::string signedKeyValue = keyValue;
    if (fault == SignFault::kNonce) {
        unsigned char nonce[16];
        RAND_bytes(nonce, sizeof nonce);
        signedKeyValue = keyValue.substr(0, colon == std::string::npos ? 0 : colon + 1) +
                         Hex(nonce, sizeof nonce);
    }
    const std::string message = Sha256(requestBody) + Sha256(body) + signedKeyValue;

    EVP_MD_CTX* context = EVP_MD_CTX_new();
    std::vector<unsigned char> der(80);
    size_t derLength = der.size();
    bool ok =
        context != nullptr &&
        EVP_DigestSignInit(context, nullptr, EVP_sha256(), nullptr, keys_.at(id)->pkey) == 1 &&
        EVP_DigestSign(context, der.data(), &derLength,
                       reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
    EVP_MD_CTX_free(context);
    if (!ok)
        return {};
    const unsigned char* at = der.data();
    ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &at, static_cast<long>(derLength));
    if (sig == nullptr)
        return {};
    unsigned char raw[64];
    ok = BN_bn2binpad(ECDSA_SIG_get0_r(sig), raw, 32) == 32 &&
         BN_bn2binpad(ECDSA_SIG_get0_s(sig), raw + 32, 32) == 32;
    ECDSA_SIG_free(sig);
    if (!ok)
        return {};
    if (fault == SignFault::kBody && !body.empty())
        body.back() = static_cast<char>(body.back() ^ 1);
    return std::to_string(id) + ":" + Hex(raw, sizeof raw);
}
