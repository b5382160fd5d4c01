// The answer signature over the platform's CNG: the host layer's on Linux,
// the real one (Wine's) in the Windows build. The vector was made with the
// openssl command line; only its public half is kept.
#include "common/src/answersignature.h"

#include <gtest/gtest.h>

#include <string>

#ifndef _WIN32
#include "wince/testing/loader.h"
#endif

namespace {

AnswerKey VectorKey() {
    const char x[] = "cf5845c1fe4eb2d7c583148344ca891ec211effbf77f952efa20a7348ddf1292";
    const char y[] = "752b18a8a14122eec33150ee695897fb75c16e06804ac43567655529013345f8";
    AnswerKey key{};
    key.id = 7;
    for (int i = 0; i < 32; ++i) {
        key.x[i] = static_cast<uint8_t>(std::stoi(std::string(x + 2 * i, 2), nullptr, 16));
        key.y[i] = static_cast<uint8_t>(std::stoi(std::string(y + 2 * i, 2), nullptr, 16));
    }
    return key;
}

const uint8_t kNonce[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                            0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
const std::string kRequest("request-body\0\1", 14);
const std::string kResponse("\0\1response-body", 15);
const std::string kSignature =
    "7:7adf9ed956968e89f0d6989cf06999875e49b8cc08e61ac4f618d025d2c8b706"
    "ace6c91a2f5bdfe8e2c437fb8d3d48cc688e83da5b2bdf8e4c6c88c27970e273";

GrowableArray Bytes(const std::string& text) {
    GrowableArray array(1);
    array.InsertAt(array.End(), static_cast<int>(text.size()), text.data());
    return array;
}

std::string Text(const GrowableArray& array) {
    return std::string(reinterpret_cast<const char*>(array.Bytes()), array.count);
}

SignatureVerdict Parse(const std::string& value, int* id = nullptr) {
    uint8_t signature[64];
    return ParseSignatureValue(reinterpret_cast<const uint8_t*>(value.data()),
                               static_cast<int>(value.size()), 7, signature, id);
}

TEST(AnswerSignature, OnlyOneIdAnd128LowercaseHexDigitsParse) {
    const std::string hex = kSignature.substr(2);
    EXPECT_EQ(Parse(kSignature), SignatureVerdict::kGood);
    int id = 0;
    EXPECT_EQ(Parse("255:" + hex, &id), SignatureVerdict::kOtherKey);
    EXPECT_EQ(id, 255);
    for (const std::string& bad :
         {std::string("7:") + hex.substr(1), "7:" + hex + "0", "07:" + hex, "256:" + hex,
          "0:" + hex, ":" + hex, "7" + hex, "7:" + hex.substr(0, 127) + "A",
          "7:" + hex.substr(0, 127) + "g", "7:" + hex + "," + kSignature, std::string(),
          std::string(201, '7'), "7: " + hex.substr(1)}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(Parse(bad), SignatureVerdict::kMalformed);
    }
}

TEST(AnswerSignature, TheVectorVerifiesOnlyForItsOwnBodiesAndNonce) {
    const AnswerKey key = VectorKey();
    AnswerSignature signature(key);
    ASSERT_TRUE(signature.BeginWithNonce(kNonce));
    EXPECT_EQ(Text(signature.keyValue()), "7:00112233445566778899aabbccddeeff");
    const GrowableArray value = Bytes(kSignature);
    EXPECT_EQ(signature.Check(1, value, Bytes(kRequest), Bytes(kResponse)),
              SignatureVerdict::kGood);
    EXPECT_EQ(signature.Check(1, value, Bytes(kRequest), Bytes(kResponse + "x")),
              SignatureVerdict::kDoesNotVerify);
    EXPECT_EQ(signature.Check(1, value, Bytes("request-body"), Bytes(kResponse)),
              SignatureVerdict::kDoesNotVerify);
    EXPECT_EQ(signature.Check(0, GrowableArray(1), Bytes(kRequest), Bytes(kResponse)),
              SignatureVerdict::kMissing);
    EXPECT_EQ(signature.Check(2, value, Bytes(kRequest), Bytes(kResponse)),
              SignatureVerdict::kMalformed);

    // The same answer for another nonce: a replay.
    uint8_t other[16] = {1};
    AnswerSignature replayed(key);
    ASSERT_TRUE(replayed.BeginWithNonce(other));
    EXPECT_EQ(replayed.Check(1, value, Bytes(kRequest), Bytes(kResponse)),
              SignatureVerdict::kDoesNotVerify);
}

TEST(AnswerSignature, EveryExchangeDrawsAFreshNonce) {
    const AnswerKey key = VectorKey();
    AnswerSignature first(key), second(key);
    ASSERT_TRUE(first.Begin());
    ASSERT_TRUE(second.Begin());
    const std::string a = Text(first.keyValue()), b = Text(second.keyValue());
    EXPECT_NE(a, b);
    for (const std::string& value : {a, b}) {
        ASSERT_EQ(value.size(), 34u) << value;
        EXPECT_EQ(value.substr(0, 2), "7:");
        EXPECT_EQ(value.find_first_not_of("0123456789abcdef", 2), std::string::npos) << value;
    }
}

#ifndef _WIN32
TEST(AnswerSignature, WithoutTheCryptographyNothingBegins) {
    const AnswerKey key = VectorKey();
    {
        WinceLoaderHideModule(u"bcrypt", true);
        AnswerSignature signature(key);
        EXPECT_FALSE(signature.Begin());
        EXPECT_EQ(signature.Check(1, Bytes(kSignature), Bytes(kRequest), Bytes(kResponse)),
                  SignatureVerdict::kNoCryptography);
        WinceLoaderResetForTesting();
    }
    WinceLoaderHideFunction(u"bcrypt", u"BCryptVerifySignature", true);
    AnswerSignature signature(key);
    EXPECT_FALSE(signature.Begin());
    WinceLoaderResetForTesting();
    EXPECT_EQ(WinceLoaderReferenceCount(u"bcrypt"), 0);
}
#endif

}  // namespace
