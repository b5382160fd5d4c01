// Window manager of the host layer (Linux): window classes, hidden windows,
// one message queue per thread, and the process entry point's signature.
//
// Windows are never drawn. What the system relies on is kept: posting from any
// thread, order of delivery, synchronous WM_DESTROY, WM_QUIT ending the loop,
// and single-instance lookups by class across the processes of one user.
#pragma once

#include "wince/types.h"

using WNDPROC = LRESULT(CALLBACK*)(HWND, UINT, WPARAM, LPARAM);
using TIMERPROC = void(CALLBACK*)(HWND, UINT, UINT_PTR, DWORD);

struct WNDCLASSW {
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCWSTR lpszMenuName;
    LPCWSTR lpszClassName;
};
using PWNDCLASSW = WNDCLASSW*;
using LPWNDCLASSW = WNDCLASSW*;

struct POINT {
    LONG x;
    LONG y;
};

struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
};
using PMSG = MSG*;
using LPMSG = MSG*;

struct CREATESTRUCTW {
    LPVOID lpCreateParams;
    HINSTANCE hInstance;
    HMENU hMenu;
    HWND hwndParent;
    int cy;
    int cx;
    int y;
    int x;
    LONG style;
    LPCWSTR lpszName;
    LPCWSTR lpszClass;
    DWORD dwExStyle;
};
using LPCREATESTRUCTW = CREATESTRUCTW*;

struct RECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
};
using LPRECT = RECT*;

// Messages.
#define WM_NULL 0x0000u
#define WM_CREATE 0x0001u
#define WM_DESTROY 0x0002u
#define WM_MOVE 0x0003u
#define WM_SIZE 0x0005u
#define WM_ACTIVATE 0x0006u
#define WM_SETFOCUS 0x0007u
#define WM_KILLFOCUS 0x0008u
#define WM_PAINT 0x000Fu
#define WM_CLOSE 0x0010u
#define WM_QUIT 0x0012u
#define WM_SHOWWINDOW 0x0018u
#define WM_SETTINGCHANGE 0x001Au
#define WM_NCCREATE 0x0081u
#define WM_NCCALCSIZE 0x0083u
#define WM_KEYDOWN 0x0100u
#define WM_KEYUP 0x0101u
#define WM_CHAR 0x0102u
#define WM_COMMAND 0x0111u
#define WM_TIMER 0x0113u
#define WM_USER 0x0400u
#define WM_APP 0x8000u

// Class styles.
#define CS_VREDRAW 0x0001u
#define CS_HREDRAW 0x0002u
#define CS_DBLCLKS 0x0008u
#define CS_NOCLOSE 0x0200u

// Window styles.
#define WS_OVERLAPPED 0x00000000u
#define WS_POPUP 0x80000000u
#define WS_CHILD 0x40000000u
#define WS_VISIBLE 0x10000000u
#define WS_DISABLED 0x08000000u
#define WS_CLIPSIBLINGS 0x04000000u
#define WS_CLIPCHILDREN 0x02000000u
#define WS_CAPTION 0x00C00000u
#define WS_BORDER 0x00800000u
#define WS_SYSMENU 0x00080000u
#define WS_EX_TOPMOST 0x00000008u

#define CW_USEDEFAULT (static_cast<int>(0x80000000u))

// Show commands.
#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_SHOWNOACTIVATE 4
#define SW_SHOW 5
#define SW_MINIMIZE 6
#define SW_SHOWNA 8
#define SW_RESTORE 9

// PeekMessageW options.
#define PM_NOREMOVE 0x0000u
#define PM_REMOVE 0x0001u

// Stock objects.
#define WHITE_BRUSH 0
#define LTGRAY_BRUSH 1
#define GRAY_BRUSH 2
#define DKGRAY_BRUSH 3
#define BLACK_BRUSH 4
#define NULL_BRUSH 5
#define WHITE_PEN 6
#define BLACK_PEN 7
#define NULL_PEN 8
#define SYSTEM_FONT 13

// Standard icons.
#define IDI_APPLICATION MAKEINTRESOURCEW(32512)

#define ERROR_RESOURCE_DATA_NOT_FOUND 1812L
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813L
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814L
#define ERROR_WINDOW_OF_OTHER_THREAD 1408L
#define ERROR_CANNOT_FIND_WND_CLASS 1407L
#define ERROR_CLASS_HAS_WINDOWS 1412L
#define ERROR_INVALID_THREAD_ID 1444L

// Class names compare case-insensitively. Classes are process-local.
ATOM RegisterClassW(const WNDCLASSW* windowClass);
BOOL UnregisterClassW(LPCWSTR className, HINSTANCE instance);

// Creates a window owned by the calling thread. Before it returns, the
// window procedure gets what a desktop sends: WM_NCCREATE (lParam the
// CREATESTRUCTW; 0 fails the creation, with no WM_DESTROY), WM_NCCALCSIZE
// (wParam FALSE, lParam the window's RECT), then WM_CREATE (lParam the
// CREATESTRUCTW; -1 fails the creation after WM_DESTROY). The first window of a class in a process
// takes the class's single-instance lock: when another process of the same user holds it, creation
// fails with ERROR_ALREADY_EXISTS (Win32 would allow both).
HWND CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x,
                     int y, int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID param);
// Sends WM_DESTROY synchronously on the calling thread, which must own the
// window (ERROR_ACCESS_DENIED otherwise); afterwards the handle is invalid.
BOOL DestroyWindow(HWND window);
BOOL IsWindow(HWND window);
BOOL IsWindowVisible(HWND window);
BOOL ShowWindow(HWND window, int showCommand);
BOOL UpdateWindow(HWND window);

// Finds a window of this process, or a window of another process of the same
// user by its class (and title, when given). A window of another process is
// only a token: messages cannot be posted to it (ERROR_INVALID_WINDOW_HANDLE).
HWND FindWindowW(LPCWSTR className, LPCWSTR windowName);

// Message queue of the calling thread. GetMessageW blocks until a message is
// posted; it returns 0 on WM_QUIT (msg->wParam the exit code), -1 on an
// invalid filter window.
BOOL GetMessageW(LPMSG msg, HWND window, UINT filterMin, UINT filterMax);
BOOL PeekMessageW(LPMSG msg, HWND window, UINT filterMin, UINT filterMax, UINT removeMessage);
BOOL TranslateMessage(const MSG* msg);
LRESULT DispatchMessageW(const MSG* msg);
// TRUE for WM_NCCREATE; destroys the window on WM_CLOSE; 0 otherwise.
LRESULT DefWindowProcW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// Safe from any thread; the message goes to the queue of the thread that
// created the window. NULL posts to the calling thread's own queue.
BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void PostQuitMessage(int exitCode);

// Timers of the calling thread's windows (or of the thread itself when
// window is NULL). WM_TIMER (wParam the id, lParam the TIMERPROC) comes from
// GetMessageW/PeekMessageW once no posted message or quit request is
// waiting, at most one per timer at a time; DispatchMessageW calls the
// TIMERPROC when there is one. Setting an existing timer again restarts it;
// KillTimer and DestroyWindow end a window's timers, and no WM_TIMER of an
// ended timer is returned afterwards.
#define USER_TIMER_MINIMUM 0x0000000Au
#define USER_TIMER_MAXIMUM 0x7FFFFFFFu
UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC timerFunc);
BOOL KillTimer(HWND window, UINT_PTR id);

// Resources (see wince/resources.h for how a program declares them).
int LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int bufferMax);
HICON LoadIconW(HINSTANCE instance, LPCWSTR name);
HGDIOBJ GetStockObject(int object);

// Supplied by the program; the host's main() calls it (library wince_main).
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previousInstance, LPWSTR commandLine,
                   int showCommand);
