// The table of platform entry points bound at run time.
//
// Six libraries are loaded by name and 25 functions looked up in them, in
// table order. A library that is missing leaves its handle and all its
// entries null; a missing function leaves its entry null. Callers test an
// entry before calling it and take their own defined path when it is null.
#pragma once

#include "wince.h"
#include "common/base/trackedalloc.h"

// Parameter records of the shell, phone and HTML-control entries; the
// program never calls those entries, so the records stay incomplete.
struct tagSHMENUBARINFO;
struct tagSHACTIVATEINFO;
struct tagSHINITDLGINFO;
struct tagSHRGINFO;
struct tagPHONEMAKECALLINFO;

struct WinmLib {
    WINM_TRACKED_ALLOCATION;

    using SHInitExtraControlsFn = BOOL(WINAPI*)(void);
    using SHCreateMenuBarFn = BOOL(WINAPI*)(tagSHMENUBARINFO*);
    using SHHandleWMActivateFn = BOOL(WINAPI*)(HWND, WPARAM, LPARAM, tagSHACTIVATEINFO*, DWORD);
    using SHHandleWMSettingChangeFn = BOOL(WINAPI*)(HWND, WPARAM, LPARAM, tagSHACTIVATEINFO*);
    using SHInitDialogFn = BOOL(WINAPI*)(tagSHINITDLGINFO*);
    using SHRecognizeGestureFn = DWORD(WINAPI*)(tagSHRGINFO*);
    using TimeGetTimeFn = DWORD(WINAPI*)(void);
    using PhoneMakeCallFn = LONG(WINAPI*)(tagPHONEMAKECALLINFO*);
    using InitHTMLControlFn = BOOL(WINAPI*)(HINSTANCE);

    // Fills the table; never fails (missing pieces stay null).
    void Load();
    // Releases the six libraries (FreeLibrary on each handle, null ones too)
    // and clears the table.
    void Unload();

    HMODULE aygshell = nullptr;
    HMODULE mmtimer = nullptr;
    HMODULE cellcore = nullptr;
    HMODULE wininet = nullptr;
    HMODULE phone = nullptr;
    HMODULE htmlview = nullptr;

    SHInitExtraControlsFn SHInitExtraControls = nullptr;
    SHCreateMenuBarFn SHCreateMenuBar = nullptr;
    SHHandleWMActivateFn SHHandleWMActivate = nullptr;
    SHHandleWMSettingChangeFn SHHandleWMSettingChange = nullptr;
    SHInitDialogFn SHInitDialog = nullptr;
    SHRecognizeGestureFn SHRecognizeGesture = nullptr;
    TimeGetTimeFn timeGetTime = nullptr;
    decltype(&::ConnMgrReleaseConnection) ConnMgrReleaseConnection = nullptr;
    decltype(&::ConnMgrProviderMessage) ConnMgrProviderMessage = nullptr;
    decltype(&::ConnMgrEstablishConnectionSync) ConnMgrEstablishConnectionSync = nullptr;
    decltype(&::ConnMgrEstablishConnection) ConnMgrEstablishConnection = nullptr;
    decltype(&::ConnMgrConnectionStatus) ConnMgrConnectionStatus = nullptr;
    decltype(&::InternetCrackUrlW) InternetCrackUrlW = nullptr;
    decltype(&::InternetSetStatusCallbackW) InternetSetStatusCallbackW = nullptr;
    decltype(&::InternetReadFile) InternetReadFile = nullptr;
    decltype(&::HttpQueryInfoW) HttpQueryInfoW = nullptr;
    decltype(&::InternetCloseHandle) InternetCloseHandle = nullptr;
    decltype(&::InternetOpenW) InternetOpenW = nullptr;
    decltype(&::InternetConnectW) InternetConnectW = nullptr;
    decltype(&::HttpOpenRequestW) HttpOpenRequestW = nullptr;
    decltype(&::HttpSendRequestW) HttpSendRequestW = nullptr;
    decltype(&::InternetOpenUrlW) InternetOpenUrlW = nullptr;
    decltype(&::InternetSetOptionW) InternetSetOptionW = nullptr;
    PhoneMakeCallFn PhoneMakeCall = nullptr;
    InitHTMLControlFn InitHTMLControl = nullptr;
};

// The process's one table; null before start-up and after tear-down.
extern WinmLib* g_winmLib;
