// The subset of CNG ("bcrypt") of the host layer (Linux): SHA-256 hashing,
// ECDSA P-256 signature verification with an imported public key, and the
// system's random source, with CNG's status codes.
//
// The program reaches these only through LoadLibraryW("bcrypt") and
// GetProcAddressW, as on Windows, where <bcrypt.h> declares them.
#pragma once

#include "wince/types.h"

using UCHAR = unsigned char;
using PUCHAR = UCHAR*;
using NTSTATUS = LONG;

WINCE_DECLARE_HANDLE(BCRYPT_ALG_HANDLE);
WINCE_DECLARE_HANDLE(BCRYPT_HASH_HANDLE);
WINCE_DECLARE_HANDLE(BCRYPT_KEY_HANDLE);

#define BCRYPT_SUCCESS(status) (((NTSTATUS)(status)) >= 0)

#define STATUS_SUCCESS ((NTSTATUS)0x00000000)
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000D)
#define STATUS_NO_MEMORY ((NTSTATUS)0xC0000017)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BB)
#define STATUS_NOT_FOUND ((NTSTATUS)0xC0000225)
#define STATUS_INVALID_SIGNATURE ((NTSTATUS)0xC000A000)

#define BCRYPT_SHA256_ALGORITHM u"SHA256"
#define BCRYPT_ECDSA_P256_ALGORITHM u"ECDSA_P256"
#define MS_PRIMITIVE_PROVIDER u"Microsoft Primitive Provider"
#define BCRYPT_ECCPUBLIC_BLOB u"ECCPUBLICBLOB"
#define BCRYPT_ECDSA_PUBLIC_P256_MAGIC 0x31534345u  // "ECS1"
#define BCRYPT_USE_SYSTEM_PREFERRED_RNG 0x00000002u

// Followed by X and then Y, cbKey bytes each, big-endian.
struct BCRYPT_ECCKEY_BLOB {
    ULONG dwMagic;
    ULONG cbKey;
};

// Only SHA256 and ECDSA_P256, from the default or the primitive provider;
// no flags. STATUS_NOT_FOUND for any other algorithm or provider.
NTSTATUS WINAPI BCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE* algorithm, LPCWSTR algorithmId,
                                            LPCWSTR implementation, ULONG flags);
NTSTATUS WINAPI BCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE algorithm, ULONG flags);

// On a SHA256 provider, without a secret. The hash object is held by the
// host whatever buffer is passed (CNG allows NULL/0 too).
NTSTATUS WINAPI BCryptCreateHash(BCRYPT_ALG_HANDLE algorithm, BCRYPT_HASH_HANDLE* hash,
                                 PUCHAR hashObject, ULONG hashObjectLength, PUCHAR secret,
                                 ULONG secretLength, ULONG flags);
NTSTATUS WINAPI BCryptHashData(BCRYPT_HASH_HANDLE hash, PUCHAR input, ULONG inputLength,
                               ULONG flags);
// outputLength must be 32. A finished hash takes no more data.
NTSTATUS WINAPI BCryptFinishHash(BCRYPT_HASH_HANDLE hash, PUCHAR output, ULONG outputLength,
                                 ULONG flags);
NTSTATUS WINAPI BCryptDestroyHash(BCRYPT_HASH_HANDLE hash);

// On an ECDSA_P256 provider: an ECCPUBLICBLOB with the P-256 public magic,
// cbKey 32 and a point on the curve.
NTSTATUS WINAPI BCryptImportKeyPair(BCRYPT_ALG_HANDLE algorithm, BCRYPT_KEY_HANDLE importKey,
                                    LPCWSTR blobType, BCRYPT_KEY_HANDLE* key, PUCHAR input,
                                    ULONG inputLength, ULONG flags);
// signature is r‖s, 32 bytes each. STATUS_INVALID_SIGNATURE when it does
// not verify.
NTSTATUS WINAPI BCryptVerifySignature(BCRYPT_KEY_HANDLE key, void* paddingInfo, PUCHAR hash,
                                      ULONG hashLength, PUCHAR signature, ULONG signatureLength,
                                      ULONG flags);
NTSTATUS WINAPI BCryptDestroyKey(BCRYPT_KEY_HANDLE key);

// Only with a NULL algorithm and BCRYPT_USE_SYSTEM_PREFERRED_RNG.
NTSTATUS WINAPI BCryptGenRandom(BCRYPT_ALG_HANDLE algorithm, PUCHAR buffer, ULONG bufferLength,
                                ULONG flags);
