#include "common/base/winm/internal/winmcng.h"

namespace {

template <class Function>
bool Bind(Function& entry, HMODULE module, LPCWSTR name) {
    entry = CastProcAddress<Function>(GetProcAddressW(module, name));
    return entry != nullptr;
}

}  // namespace

bool WinmCng::Load() {
    Unload();
    bcrypt = LoadLibraryW(TEXT("bcrypt"));
    if (bcrypt == nullptr)
        return false;
    bool all = Bind(BCryptOpenAlgorithmProvider, bcrypt, TEXT("BCryptOpenAlgorithmProvider"));
    all = Bind(BCryptCloseAlgorithmProvider, bcrypt, TEXT("BCryptCloseAlgorithmProvider")) && all;
    all = Bind(BCryptCreateHash, bcrypt, TEXT("BCryptCreateHash")) && all;
    all = Bind(BCryptHashData, bcrypt, TEXT("BCryptHashData")) && all;
    all = Bind(BCryptFinishHash, bcrypt, TEXT("BCryptFinishHash")) && all;
    all = Bind(BCryptDestroyHash, bcrypt, TEXT("BCryptDestroyHash")) && all;
    all = Bind(BCryptImportKeyPair, bcrypt, TEXT("BCryptImportKeyPair")) && all;
    all = Bind(BCryptVerifySignature, bcrypt, TEXT("BCryptVerifySignature")) && all;
    all = Bind(BCryptDestroyKey, bcrypt, TEXT("BCryptDestroyKey")) && all;
    all = Bind(BCryptGenRandom, bcrypt, TEXT("BCryptGenRandom")) && all;
    if (!all) {
        // Half a binding would tempt a caller into a partial check.
        Unload();
        return false;
    }
    return true;
}

void WinmCng::Unload() {
    if (bcrypt != nullptr)
        FreeLibrary(bcrypt);
    bcrypt = nullptr;
    BCryptOpenAlgorithmProvider = nullptr;
    BCryptCloseAlgorithmProvider = nullptr;
    BCryptCreateHash = nullptr;
    BCryptHashData = nullptr;
    BCryptFinishHash = nullptr;
    BCryptDestroyHash = nullptr;
    BCryptImportKeyPair = nullptr;
    BCryptVerifySignature = nullptr;
    BCryptDestroyKey = nullptr;
    BCryptGenRandom = nullptr;
}
