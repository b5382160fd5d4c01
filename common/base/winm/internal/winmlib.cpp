#include "common/base/winm/internal/winmlib.h"

WinmLib* g_winmLib = nullptr;

namespace {

template <class Function>
void Bind(Function& entry, HMODULE module, LPCWSTR name) {
    // An absent library leaves every one of its entries null.
    entry = module != nullptr ? CastProcAddress<Function>(GetProcAddressW(module, name)) : nullptr;
}

}  // namespace

void WinmLib::Load() {
    aygshell = LoadLibraryW(TEXT("aygshell"));
    Bind(SHInitExtraControls, aygshell, TEXT("SHInitExtraControls"));
    Bind(SHCreateMenuBar, aygshell, TEXT("SHCreateMenuBar"));
    Bind(SHHandleWMActivate, aygshell, TEXT("SHHandleWMActivate"));
    Bind(SHHandleWMSettingChange, aygshell, TEXT("SHHandleWMSettingChange"));
    Bind(SHInitDialog, aygshell, TEXT("SHInitDialog"));
    Bind(SHRecognizeGesture, aygshell, TEXT("SHRecognizeGesture"));

    mmtimer = LoadLibraryW(TEXT("mmtimer"));
    Bind(timeGetTime, mmtimer, TEXT("timeGetTime"));

    cellcore = LoadLibraryW(TEXT("cellcore"));
    Bind(ConnMgrReleaseConnection, cellcore, TEXT("ConnMgrReleaseConnection"));
    Bind(ConnMgrProviderMessage, cellcore, TEXT("ConnMgrProviderMessage"));
    Bind(ConnMgrEstablishConnectionSync, cellcore, TEXT("ConnMgrEstablishConnectionSync"));
    Bind(ConnMgrEstablishConnection, cellcore, TEXT("ConnMgrEstablishConnection"));
    Bind(ConnMgrConnectionStatus, cellcore, TEXT("ConnMgrConnectionStatus"));

    wininet = LoadLibraryW(TEXT("wininet"));
    Bind(InternetCrackUrlW, wininet, TEXT("InternetCrackUrlW"));
    Bind(InternetSetStatusCallbackW, wininet, TEXT("InternetSetStatusCallbackW"));
    Bind(InternetReadFile, wininet, TEXT("InternetReadFile"));
    Bind(HttpQueryInfoW, wininet, TEXT("HttpQueryInfoW"));
    Bind(InternetCloseHandle, wininet, TEXT("InternetCloseHandle"));
    Bind(InternetOpenW, wininet, TEXT("InternetOpenW"));
    Bind(InternetConnectW, wininet, TEXT("InternetConnectW"));
    Bind(HttpOpenRequestW, wininet, TEXT("HttpOpenRequestW"));
    Bind(HttpSendRequestW, wininet, TEXT("HttpSendRequestW"));
    Bind(InternetOpenUrlW, wininet, TEXT("InternetOpenUrlW"));
    Bind(InternetSetOptionW, wininet, TEXT("InternetSetOptionW"));

    phone = LoadLibraryW(TEXT("phone"));
    Bind(PhoneMakeCall, phone, TEXT("PhoneMakeCall"));

    htmlview = LoadLibraryW(TEXT("htmlview"));
    Bind(InitHTMLControl, htmlview, TEXT("InitHTMLControl"));
}

void WinmLib::Unload() {
    FreeLibrary(aygshell);
    FreeLibrary(mmtimer);
    FreeLibrary(cellcore);
    FreeLibrary(wininet);
    FreeLibrary(phone);
    FreeLibrary(htmlview);
    // Every entry pointed into the released libraries.
    *this = WinmLib();
}
