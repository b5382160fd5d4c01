// CNG ("bcrypt"), bound at run time like the libraries of WinmLib, but only
// by a build with an answer key and only for the exchange that checks an
// answer. It is kept out of WinmLib so that a build without a key loads
// exactly the libraries it always did.
#pragma once

#include "wince.h"

#include "common/base/trackedalloc.h"

struct WinmCng {
    WINM_TRACKED_ALLOCATION;

    WinmCng() = default;
    ~WinmCng() { Unload(); }
    WinmCng(const WinmCng&) = delete;
    WinmCng& operator=(const WinmCng&) = delete;

    // Loads "bcrypt" and looks up every entry below. False when the library
    // or any entry is missing; nothing is then bound (all entries null).
    bool Load();
    // Releases the library; the entries become null.
    void Unload();

    HMODULE bcrypt = nullptr;
    decltype(&::BCryptOpenAlgorithmProvider) BCryptOpenAlgorithmProvider = nullptr;
    decltype(&::BCryptCloseAlgorithmProvider) BCryptCloseAlgorithmProvider = nullptr;
    decltype(&::BCryptCreateHash) BCryptCreateHash = nullptr;
    decltype(&::BCryptHashData) BCryptHashData = nullptr;
    decltype(&::BCryptFinishHash) BCryptFinishHash = nullptr;
    decltype(&::BCryptDestroyHash) BCryptDestroyHash = nullptr;
    decltype(&::BCryptImportKeyPair) BCryptImportKeyPair = nullptr;
    decltype(&::BCryptVerifySignature) BCryptVerifySignature = nullptr;
    decltype(&::BCryptDestroyKey) BCryptDestroyKey = nullptr;
    decltype(&::BCryptGenRandom) BCryptGenRandom = nullptr;
};
