// mmtimer.dll for desktop Windows: the device library's one entry the
// program binds, timeGetTime, forwarded to winmm (see mmtimer.def). The
// library has no code of its own.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}
