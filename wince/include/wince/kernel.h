// Threads, events, critical sections and handles of the host layer (Linux).
//
// Handles name entries of one process-wide handle table; a handle that is not
// (or no longer) in the table makes a call fail with ERROR_INVALID_HANDLE, it
// never touches freed memory. Threads run on std::thread.
#pragma once

#include "wince/types.h"

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
};
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

using PTHREAD_START_ROUTINE = DWORD(WINAPI*)(LPVOID);
using LPTHREAD_START_ROUTINE = PTHREAD_START_ROUTINE;

#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define STILL_ACTIVE 0x00000103u
#define CREATE_SUSPENDED 0x00000004u

// Re-entrant lock with the Win32 calling convention. The storage holds the
// host's recursive mutex; the fields of the Windows structure are not
// modelled, code must not read them.
struct CRITICAL_SECTION {
    alignas(16) unsigned char opaque[64];
};
using LPCRITICAL_SECTION = CRITICAL_SECTION*;

// Creates a thread that runs at once. CREATE_SUSPENDED is not supported
// (NULL, ERROR_NOT_SUPPORTED); the stack size and the security attributes are
// ignored. The handle may be closed while the thread runs.
HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                    LPTHREAD_START_ROUTINE startAddress, LPVOID parameter, DWORD creationFlags,
                    LPDWORD threadId);
BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);

// Events are process-local: a non-NULL name is not shared with other
// processes (ERROR_NOT_SUPPORTED).
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                    LPCWSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);

// Mutexes as on Windows (owned by a thread, recursive, released by
// ReleaseMutex; ERROR_NOT_OWNER for another thread). A named mutex that
// already exists, in this process or in another one sharing the registry
// file's lock location, gives a handle with ERROR_ALREADY_EXISTS and no
// initial ownership. Across processes only the existence is shared: a wait
// excludes the threads of this process alone. NULL with ERROR_ACCESS_DENIED
// when no lock location is usable.
HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCWSTR name);
BOOL ReleaseMutex(HANDLE mutex);

// Thread handles are signalled once the thread has ended; events as on
// Windows (an auto-reset event is reset by the wait it releases).
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL CloseHandle(HANDLE handle);

void InitializeCriticalSection(LPCRITICAL_SECTION section);
void EnterCriticalSection(LPCRITICAL_SECTION section);
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section);
void LeaveCriticalSection(LPCRITICAL_SECTION section);
void DeleteCriticalSection(LPCRITICAL_SECTION section);

void Sleep(DWORD milliseconds);
DWORD GetCurrentThreadId();
// Milliseconds from a monotonic clock, wrapping at 2^32.
DWORD GetTickCount();
