// The Windows program's log file, for an administrator: every composed line,
// with its UTC time, is appended to
// %ProgramData%\Ambrel\SearchPlugin Updater\updater.log. The installer
// creates that folder; without it the file log stays silent, since the
// updater creates no directories there. At its bound the file becomes
// updater.log.1, replacing the older one. Windows build only.
#pragma once

#include <cstdint>

#include "wince.h"

class KString;

// The bound of the log file and of its older copy, in bytes.
constexpr int64_t kLogFileBound = 1024 * 1024;

// Puts the file in front of the given sinks, which still get every line.
// Without WINM_LOG_LEVEL (unset or empty) the level becomes 1, so that
// runs of the scheduled task leave their warnings in the file.
void InstallFileLog(void (*next)(const KString& line), void (*nextText)(const char* line));

// Appends "<UTC time> <text>\r\n" to the file at `path` in one piece, moving
// the file to `path`.1 first when the line would take it past `bound`.
// Returns false when the line was left out (no folder, a file another
// program holds, a full disk, a copy that cannot be replaced, a file that is
// a link): never a part
// of a line, never a file past the bound. Does not allocate.
bool AppendLogFileLine(const WCHAR* path, int64_t bound, const char* text, int count);
