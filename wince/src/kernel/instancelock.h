// Cross-process single-instance locks for window classes, and the
// cross-process existence of named kernel objects (mutexes).
//
// One lock file per class in the user's runtime directory, held with an
// open-file-description lock (fcntl F_OFD_SETLK): the kernel drops it when
// the holder exits or crashes, so a dead process never blocks the next run,
// and another process can test it (F_OFD_GETLK) without taking it.
#pragma once

#include <string>

#include "utf.h"
#include "wince/types.h"

namespace wince {

// Where the lock files go, as a prefix their names are appended to. Tried
// in order: beside the registry file ("<registry file>."), then
// "$XDG_RUNTIME_DIR/winm/". A directory is used only when it is ours and
// closed to others (created with mode 0700 when missing; XDG_RUNTIME_DIR
// itself must be so too). Each refused location gives a host warning with
// the reason, and when none is usable a last warning names them all and
// the result is empty.
std::string InstanceLockPrefix();

// The lock file's path for a class name already folded to one case.
std::string InstanceLockPath(const std::u16string& foldedClass);

// Takes the class's lock for this process and records the window title in
// it. Returns the descriptor that holds it, or -1 with `error` set to
// ERROR_ALREADY_EXISTS (another process holds it) or ERROR_ACCESS_DENIED.
int AcquireInstanceLock(const std::u16string& foldedClass, const std::u16string& className,
                        const std::u16string& title, DWORD& error);
void ReleaseInstanceLock(int fd);

// Whether another process holds the class's lock; `title` receives the title
// it recorded.
bool InstanceLockHeldElsewhere(const std::u16string& foldedClass, std::u16string* title);

// Joins the named object shared by every process of this lock location
// (a shared lock that the kernel drops when the holder exits). Returns the
// descriptor that holds it and sets `existed` when another process already
// held the object, or -1 with `error` set (ERROR_ACCESS_DENIED: no usable
// lock location). Names are case-sensitive, as object names are.
int AcquireNamedObjectLock(const std::u16string& name, bool& existed, DWORD& error);
void ReleaseNamedObjectLock(int fd);

}  // namespace wince
