// The process-wide handle table shared by the kernel objects.
#pragma once

#include <memory>

#include "wince/types.h"

namespace wince {

// Base of every object that a HANDLE can name.
class KernelObject {
  public:
    virtual ~KernelObject() = default;
    // Blocks until the object is signalled or the time-out passes; true when
    // signalled. Consumes the signal of an auto-reset event.
    virtual bool Wait(DWORD milliseconds) = 0;
};

// Adds an object and returns its new handle (NULL when the table is full).
HANDLE InsertHandle(std::shared_ptr<KernelObject> object);
// The object a handle names, or null for an unknown handle. The returned
// reference keeps the object alive after a concurrent CloseHandle.
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);
// Removes a handle; false when it was not in the table.
bool RemoveHandle(HANDLE handle);

// The calling thread's id, as GetCurrentThreadId returns it.
DWORD CurrentThreadId();

// Removes the calling thread's windows and timers, as Windows does before a
// thread counts as ended (window.cpp).
void EndThreadWindows();
// A fresh thread id, and how a new thread takes the one reserved for it.
DWORD ReserveThreadId();
void AdoptThreadId(DWORD id);

}  // namespace wince
