// The CNG subset against the openssl command line: digests, keys and
// signatures made by openssl at test time must give CNG's results.
#include "wince/bcrypt.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "wince/loader.h"

namespace {

using Bytes = std::vector<UCHAR>;

Bytes ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A key pair and signatures made with openssl in a directory of the test's own.
class OpensslKeys : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/bcrypt_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    static void Run(const std::string& command) {
        ASSERT_EQ(std::system((command + " 2>/dev/null").c_str()), 0) << command;
    }
    // An ECCPUBLICBLOB of the key in NAME.pem.
    Bytes PublicBlob(const std::string& name) {
        Run("openssl ecparam -name prime256v1 -genkey -noout -out " + Path(name + ".pem"));
        Run("openssl pkey -in " + Path(name + ".pem") + " -pubout -outform DER -out " +
            Path(name + ".der"));
        Bytes der = ReadAll(Path(name + ".der"));
        EXPECT_EQ(der.size(), 91u);  // the SubjectPublicKeyInfo; X and Y are its last 64 bytes
        Bytes blob(8 + 64);
        BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
        std::memcpy(blob.data(), &header, sizeof header);
        if (der.size() == 91)
            std::memcpy(blob.data() + 8, der.data() + 27, 64);
        return blob;
    }
    // openssl's ECDSA signature of the message file, as r‖s.
    Bytes Sign(const std::string& name, const std::string& message) {
        std::ofstream(Path("message"), std::ios::binary) << message;
        Run("openssl dgst -sha256 -sign " + Path(name + ".pem") + " -out " + Path("sig.der") + " " +
            Path("message"));
        Bytes der = ReadAll(Path("sig.der"));
        // SEQUENCE { INTEGER r, INTEGER s }, each integer at most 33 bytes.
        Bytes raw;
        size_t at = 2;
        for (int i = 0; i < 2; ++i) {
            EXPECT_EQ(der.at(at), 0x02);
            size_t length = der.at(at + 1);
            const UCHAR* value = &der.at(at + 2);
            while (length > 32) {
                ++value;
                --length;
            }
            raw.insert(raw.end(), 32 - length, 0);
            raw.insert(raw.end(), value, value + length);
            at += 2 + der.at(at + 1);
        }
        return raw;
    }
    Bytes OpensslDigest(const std::string& message) {
        std::ofstream(Path("message"), std::ios::binary) << message;
        Run("openssl dgst -sha256 -binary -out " + Path("digest") + " " + Path("message"));
        return ReadAll(Path("digest"));
    }

    std::filesystem::path dir_;
};

Bytes Sha256(const std::vector<std::string>& pieces) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    EXPECT_EQ(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0), 0);
    BCRYPT_HASH_HANDLE hash = nullptr;
    EXPECT_EQ(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0), 0);
    for (const std::string& piece : pieces) {
        EXPECT_EQ(BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(piece.data())),
                                 static_cast<ULONG>(piece.size()), 0),
                  0);
    }
    Bytes digest(32);
    EXPECT_EQ(BCryptFinishHash(hash, digest.data(), 32, 0), 0);
    // A finished hash takes nothing more.
    EXPECT_EQ(BCryptFinishHash(hash, digest.data(), 32, 0), STATUS_INVALID_HANDLE);
    EXPECT_EQ(BCryptDestroyHash(hash), 0);
    EXPECT_EQ(BCryptDestroyHash(hash), STATUS_INVALID_HANDLE);
    EXPECT_EQ(BCryptCloseAlgorithmProvider(algorithm, 0), 0);
    return digest;
}

NTSTATUS Verify(Bytes blob, Bytes digest, Bytes signature) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    EXPECT_EQ(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0), 0);
    BCRYPT_KEY_HANDLE key = nullptr;
    NTSTATUS status = BCryptImportKeyPair(algorithm, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key,
                                          blob.data(), static_cast<ULONG>(blob.size()), 0);
    if (status == 0) {
        status =
            BCryptVerifySignature(key, nullptr, digest.data(), static_cast<ULONG>(digest.size()),
                                  signature.data(), static_cast<ULONG>(signature.size()), 0);
        EXPECT_EQ(BCryptDestroyKey(key), 0);
    }
    EXPECT_EQ(BCryptCloseAlgorithmProvider(algorithm, 0), 0);
    return status;
}

TEST_F(OpensslKeys, Sha256InPiecesMatchesOpenssl) {
    const std::string message(20000, 'q');
    EXPECT_EQ(Sha256({message.substr(0, 1), message.substr(1, 8191), "", message.substr(8192)}),
              OpensslDigest(message));
    EXPECT_EQ(Sha256({}), OpensslDigest(""));
}

TEST_F(OpensslKeys, SignatureOfOpensslVerifiesAndAnyChangeDoesNot) {
    Bytes blob = PublicBlob("key");
    Bytes other = PublicBlob("other");
    const std::string message = "signed answer";
    Bytes digest = Sha256({message});
    Bytes signature = Sign("key", message);
    ASSERT_EQ(signature.size(), 64u);

    EXPECT_EQ(Verify(blob, digest, signature), STATUS_SUCCESS);
    EXPECT_EQ(Verify(other, digest, signature), STATUS_INVALID_SIGNATURE);
    Bytes changed = digest;
    changed[31] ^= 1;
    EXPECT_EQ(Verify(blob, changed, signature), STATUS_INVALID_SIGNATURE);
    for (size_t at : {0u, 63u}) {
        changed = signature;
        changed[at] ^= 0x80;
        EXPECT_EQ(Verify(blob, digest, changed), STATUS_INVALID_SIGNATURE) << at;
    }
    EXPECT_EQ(Verify(blob, digest, Bytes(64, 0)), STATUS_INVALID_SIGNATURE);
    EXPECT_EQ(Verify(blob, digest, Bytes(64, 0xFF)), STATUS_INVALID_SIGNATURE);
    EXPECT_EQ(Verify(blob, digest, Bytes(signature.begin(), signature.end() - 1)),
              STATUS_INVALID_PARAMETER);
}

TEST_F(OpensslKeys, OnlyAP256PublicBlobOnTheCurveImports) {
    Bytes blob = PublicBlob("key");
    Bytes digest(32, 1), signature(64, 1);
    Bytes offCurve = blob;
    offCurve.back() ^= 1;
    EXPECT_EQ(Verify(offCurve, digest, signature), STATUS_INVALID_PARAMETER);
    Bytes privateMagic = blob;
    privateMagic[3] = 0x32;  // "ECS2", the private-key blob
    EXPECT_EQ(Verify(privateMagic, digest, signature), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Verify(Bytes(blob.begin(), blob.end() - 1), digest, signature),
              STATUS_INVALID_PARAMETER);

    BCRYPT_ALG_HANDLE sha = nullptr;
    ASSERT_EQ(BCryptOpenAlgorithmProvider(&sha, BCRYPT_SHA256_ALGORITHM, nullptr, 0), 0);
    BCRYPT_KEY_HANDLE key = nullptr;
    EXPECT_EQ(BCryptImportKeyPair(sha, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key, blob.data(),
                                  static_cast<ULONG>(blob.size()), 0),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(BCryptCloseAlgorithmProvider(sha, 0), 0);
}

TEST(Bcrypt, UnknownAlgorithmsAndHandlesAreRefused) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    EXPECT_EQ(BCryptOpenAlgorithmProvider(&algorithm, u"MD5", nullptr, 0), STATUS_NOT_FOUND);
    EXPECT_EQ(BCryptOpenAlgorithmProvider(&algorithm, u"ECDSA_P384", nullptr, 0), STATUS_NOT_FOUND);
    EXPECT_EQ(BCryptCloseAlgorithmProvider(nullptr, 0), STATUS_INVALID_HANDLE);
    int notAHandle = 0;
    EXPECT_EQ(BCryptHashData(reinterpret_cast<BCRYPT_HASH_HANDLE>(&notAHandle), nullptr, 0, 0),
              STATUS_INVALID_HANDLE);
    ASSERT_EQ(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0), 0);
    BCRYPT_HASH_HANDLE hash = nullptr;
    EXPECT_EQ(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0), STATUS_INVALID_HANDLE);
    EXPECT_EQ(BCryptCloseAlgorithmProvider(algorithm, 0), 0);
}

TEST(Bcrypt, RandomBytesDifferFromDrawToDraw) {
    Bytes first(16), second(16);
    EXPECT_EQ(BCryptGenRandom(nullptr, first.data(), 16, BCRYPT_USE_SYSTEM_PREFERRED_RNG), 0);
    EXPECT_EQ(BCryptGenRandom(nullptr, second.data(), 16, BCRYPT_USE_SYSTEM_PREFERRED_RNG), 0);
    EXPECT_NE(first, second);
    EXPECT_EQ(BCryptGenRandom(nullptr, first.data(), 16, 0), STATUS_INVALID_PARAMETER);
}

TEST(Bcrypt, TheModuleExportsTheSubsetByName) {
    HMODULE module = LoadLibraryW(u"bcrypt.dll");
    ASSERT_NE(module, nullptr);
    for (const char16_t* name :
         {u"BCryptOpenAlgorithmProvider", u"BCryptCloseAlgorithmProvider", u"BCryptCreateHash",
          u"BCryptHashData", u"BCryptFinishHash", u"BCryptDestroyHash", u"BCryptImportKeyPair",
          u"BCryptVerifySignature", u"BCryptDestroyKey", u"BCryptGenRandom"}) {
        EXPECT_NE(GetProcAddressW(module, name), nullptr);
    }
    EXPECT_NE(FreeLibrary(module), FALSE);
}

}  // namespace
