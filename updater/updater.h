// Process entry of the updater: one hidden window whose class name makes the
// program single-instance and whose message loop runs all of its logic.
#pragma once

#include "wince.h"

// Start-up: the platform library table, the window class, the single-instance
// test, the hidden window and the framework. False when start-up ended (no
// window is then left behind).
bool InitInstance(HINSTANCE instance);

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
