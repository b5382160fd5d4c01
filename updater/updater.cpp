#include "updater/updater.h"

#include "common/base/log.h"
#include "common/base/trackedalloc.h"
#include "common/base/winm/internal/winmappeventhandler.h"
#include "common/base/winm/internal/winmlib.h"
#include "common/src/genericneskrequest.h"
#include "updater/applog.h"
#include "updater/resources.h"
#include "updater/winmframework.h"

namespace {

constexpr int kResourceTextUnits = 256;

// Held for the whole run: while it exists no other updater starts.
HANDLE g_instanceMutex = NULL;

// Ends the run once the framework has finished: WM_DESTROY deletes the
// framework and posts the quit message.
void DestroyWindowIfFinished() {
    if (g_framework != NULL && g_framework->finished) {
        DestroyWindow(g_framework->window);
    }
}

void ReleasePlatformLibraries() {
    if (g_winmLib != NULL) {
        WinmLib* lib = g_winmLib;
        lib->Unload();
        g_winmLib = NULL;
        delete lib;
    }
}

}  // namespace

bool InitInstance(HINSTANCE instance) {
    // Without the table no request could run, and nothing would ever end
    // the run: start-up ends here.
    g_winmLib = WINM_NEW(WinmLib)();
    if (g_winmLib == NULL) {
        LogWarningText("no memory for the platform library table");
        return false;
    }
    g_winmLib->Load();

    WCHAR className[kResourceTextUnits] = {};
    LoadStringW(instance, IDS_WINDOW_CLASS, className, kResourceTextUnits);

    WNDCLASSW windowClass = {};
    windowClass.style = CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS;
    windowClass.lpfnWndProc = MainWindowProc;
    windowClass.cbClsExtra = 0;
    windowClass.cbWndExtra = 0;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_UPDATER));
    windowClass.hCursor = NULL;
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    windowClass.lpszMenuName = NULL;
    windowClass.lpszClassName = className;
    // A failed registration shows as a failed window creation below.
    RegisterClassW(&windowClass);

    // Looking for the window and then creating it leaves a gap in which a
    // second updater started at the same moment passes the look as well;
    // creating a named mutex is one step, so exactly one creator wins. A
    // mutex that cannot be made leaves the window test to decide.
    WCHAR mutexName[kResourceTextUnits + 16] = {};
    wcscpy(mutexName, className);
    wcscat(mutexName, TEXT(".instance"));
    g_instanceMutex = CreateMutexW(NULL, FALSE, mutexName);
    if (g_instanceMutex != NULL && GetLastError() == ERROR_ALREADY_EXISTS) {
        LogDebug("another updater is running");
        return false;
    }

    if (FindWindowW(className, NULL) != NULL) {
        LogDebug("another updater is running");
        return false;
    }

    WCHAR title[kResourceTextUnits] = {};
    LoadStringW(instance, IDS_WINDOW_TITLE, title, kResourceTextUnits);

    // Never shown: the window exists for its class name, its message queue
    // and its destruction.
    HWND window = CreateWindowExW(0, className, title, 0, CW_USEDEFAULT, CW_USEDEFAULT,
                                  CW_USEDEFAULT, CW_USEDEFAULT, NULL, NULL, instance, NULL);
    if (window == NULL) {
        // Losing the start-up race to another updater is normal; anything
        // else (no lock location: the host warned why) ends the run early.
        DWORD error = GetLastError();
        if (error == ERROR_ALREADY_EXISTS) {
            LogDebug("another updater is running");
        } else {
            LogWarning("no main window (error %u); the run ends", static_cast<unsigned>(error));
        }
        return false;
    }

    WinmFramework* framework = WINM_NEW(WinmFramework)(window);
    if (framework == NULL) {
        // g_framework is still null, so WM_DESTROY only ends the window.
        LogWarningText("no memory for the framework");
        DestroyWindow(window);
        return false;
    }
    return true;
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    WinmFramework* framework = g_framework;
    if (framework == NULL) {
        // Creation messages come before the framework exists; a desktop
        // aborts the creation when WM_NCCREATE returns 0.
        return DefWindowProcW(window, message, wParam, lParam);
    }
    if (message == WM_DESTROY) {
        delete framework;
        g_framework = NULL;
        PostQuitMessage(0);
        return 0;
    }
    window = framework->window;
    if (framework->eventHandler != NULL &&
        framework->eventHandler->HandleMessage(window, message, wParam, lParam)) {
        return 1;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// The command line and the show command are ignored: the updater takes no
// options and never shows its window. The exit code is 0 in every case.
// Windows CE's WinMain takes a wide command line; the desktop calls that
// entry wWinMain.
#if defined(_WIN32) && !defined(_WIN32_WCE)
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
#else
int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
#endif
    InstallLogFromEnvironment();
    RegisterResources();
#ifdef _WIN32
    // The Linux process entry names the endpoint itself, before WinMain.
    const KString endpoint = ProtocolEndpointUrl();
    LogDebug("updater: endpoint %S", &endpoint);
#endif

    if (InitInstance(instance)) {
        // The framework may have finished inside its constructor (nothing
        // could be started); then no message would ever arrive.
        DestroyWindowIfFinished();
        MSG msg;
        while (GetMessageW(&msg, NULL, 0, 0) > 0) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
            DestroyWindowIfFinished();
        }
    }
    ReleasePlatformLibraries();
    if (g_instanceMutex != NULL) {
        CloseHandle(g_instanceMutex);
        g_instanceMutex = NULL;
    }

    LogDebug("tracked blocks live at exit: %d", LiveBlockCount());
    RemoveLog();
    return 0;
}
