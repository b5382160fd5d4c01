#include "instancelock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "wince/registry.h"
#include "wince/src/base/hostlog.h"

namespace wince {
namespace {

// Why `path` cannot hold lock files, or empty when it can: it must be a
// directory of ours that nobody else may write to, or others could plant
// files in it or hold our locks. Created (mode 0700) when missing, with
// its missing parents when `parents` is set.
std::string Refusal(const std::string& path, bool create, bool parents) {
    if (create) {
        if (parents) {
            for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
                 slash = path.find('/', slash + 1))
                mkdir(path.substr(0, slash).c_str(), 0700);
        }
        if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
            return std::strerror(errno);
    }
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return std::strerror(errno);
    if (!S_ISDIR(st.st_mode))
        return "not a directory";
    if (st.st_uid != geteuid())
        return "owned by another user (uid " + std::to_string(st.st_uid) + ")";
    if ((st.st_mode & 0022) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        return std::string("others may write to it (mode ") + mode + ")";
    }
    return {};
}

// Tries one location; on refusal notes it in `tried` for the warning that
// follows when no location is left. A refusal the next location cures is
// only a debug line.
bool Usable(const std::string& shown, const std::string& refusal, std::string& tried) {
    if (refusal.empty())
        return true;
    tried += (tried.empty() ? "" : "; ") + shown + ": " + refusal;
    HostDebug("single-instance lock: cannot use " + shown + ": " + refusal +
              "; trying the next location");
    return false;
}

std::u16string ParseTitle(const std::string& content) {
    // "pid\nclass\ntitle\n"
    std::size_t first = content.find('\n');
    if (first == std::string::npos)
        return {};
    std::size_t second = content.find('\n', first + 1);
    if (second == std::string::npos)
        return {};
    std::size_t end = content.find('\n', second + 1);
    if (end == std::string::npos)
        return {};
    return FromUtf8(content.substr(second + 1, end - second - 1));
}

}  // namespace

std::string InstanceLockPrefix() {
    std::string tried;
    // Beside the registry file: updaters that share a registry then
    // exclude each other whatever their other settings.
    std::string registry = WinceRegistryStorePath();
    if (registry.empty()) {
        Usable("the registry file's directory", "no registry path can be formed", tried);
    } else {
        std::size_t slash = registry.find_last_of('/');
        std::string dir = slash == std::string::npos ? "." : registry.substr(0, slash);
        if (dir.empty())
            dir = "/";
        if (Usable(dir, Refusal(dir, true, true), tried))
            return (dir == "/" ? "" : dir) + "/" + registry.substr(slash + 1) + ".";
    }
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || runtime[0] == 0) {
        tried += "; $XDG_RUNTIME_DIR: not set";
    } else if (runtime[0] != '/') {
        Usable(std::string("$XDG_RUNTIME_DIR (") + runtime + ")", "not an absolute path", tried);
    } else {
        std::string dir = std::string(runtime) + "/winm";
        if (Usable(runtime, Refusal(runtime, false, false), tried) &&
            Usable(dir, Refusal(dir, true, false), tried))
            return dir + "/";
    }
    HostWarning("single-instance lock: no usable location (" + tried +
                "); no window of a single-instance class can be created");
    return {};
}

namespace {

// A readable prefix plus a hash of the whole name keeps file names short
// and free of separators whatever the name holds.
std::string LockFilePath(const char* kind, const std::u16string& name) {
    std::string prefix = InstanceLockPrefix();
    if (prefix.empty())
        return {};
    std::string readable;
    std::uint64_t hash = 1469598103934665603ull;
    for (char16_t c : name) {
        hash = (hash ^ static_cast<std::uint64_t>(c)) * 1099511628211ull;
        if (readable.size() < 40) {
            bool plain = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
            readable.push_back(plain ? static_cast<char>(c) : '_');
        }
    }
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, "-%016llx.lock", static_cast<unsigned long long>(hash));
    return prefix + kind + readable + suffix;
}

// Sets one lock on one byte of fd; `wait` blocks until it can be had.
bool LockByte(int fd, short type, off_t byte, bool wait) {
    struct flock lock = {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = byte;
    lock.l_len = 1;
    int result;
    do {
        result = fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock);
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

}  // namespace

std::string InstanceLockPath(const std::u16string& foldedClass) {
    return LockFilePath("class-", foldedClass);
}

int AcquireNamedObjectLock(const std::u16string& name, bool& existed, DWORD& error) {
    std::string path = LockFilePath("object-", name);
    if (path.empty()) {
        error = ERROR_ACCESS_DENIED;
        return -1;
    }
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        error = ERROR_ACCESS_DENIED;
        return -1;
    }
    // Byte 0 guards the test-and-join below, so that of two processes
    // creating the object at the same moment exactly one is its creator.
    // Byte 1 carries a shared lock for every process that holds the object.
    if (!LockByte(fd, F_WRLCK, 0, true)) {
        close(fd);
        error = ERROR_ACCESS_DENIED;
        return -1;
    }
    struct flock probe = {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = 1;
    probe.l_len = 1;
    bool joined = fcntl(fd, F_OFD_GETLK, &probe) == 0;
    existed = joined && probe.l_type != F_UNLCK;
    joined = joined && LockByte(fd, F_RDLCK, 1, false);
    LockByte(fd, F_UNLCK, 0, false);
    if (!joined) {
        close(fd);
        error = ERROR_ACCESS_DENIED;
        return -1;
    }
    return fd;
}

void ReleaseNamedObjectLock(int fd) {
    if (fd >= 0)
        close(fd);
}

int AcquireInstanceLock(const std::u16string& foldedClass, const std::u16string& className,
                        const std::u16string& title, DWORD& error) {
    std::string path = InstanceLockPath(foldedClass);
    if (path.empty()) {
        error = ERROR_ACCESS_DENIED;
        return -1;
    }
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        error = ERROR_ACCESS_DENIED;
        return -1;
    }
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(fd, F_OFD_SETLK, &lock) != 0) {
        error = (errno == EAGAIN || errno == EACCES) ? ERROR_ALREADY_EXISTS : ERROR_ACCESS_DENIED;
        close(fd);
        return -1;
    }
    std::string content =
        std::to_string(getpid()) + "\n" + ToUtf8(className) + "\n" + ToUtf8(title) + "\n";
    // The record is informational; the lock alone decides.
    if (ftruncate(fd, 0) == 0) {
        ssize_t written = pwrite(fd, content.data(), content.size(), 0);
        (void)written;
    }
    return fd;
}

void ReleaseInstanceLock(int fd) {
    if (fd >= 0)
        close(fd);
}

bool InstanceLockHeldElsewhere(const std::u16string& foldedClass, std::u16string* title) {
    std::string path = InstanceLockPath(foldedClass);
    if (path.empty())
        return false;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    bool held = fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
    if (held && title != nullptr) {
        char buffer[4096];
        ssize_t n = pread(fd, buffer, sizeof buffer, 0);
        *title =
            ParseTitle(n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string());
    }
    close(fd);
    return held;
}

std::string ToUtf8(const std::u16string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::u16string FromUtf8(const std::string& text) {
    std::u16string out;
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n) {
        unsigned char b = static_cast<unsigned char>(text[i]);
        char32_t c;
        int extra;
        char32_t min;
        if (b < 0x80) {
            c = b;
            extra = 0;
            min = 0;
        } else if ((b & 0xE0) == 0xC0) {
            c = b & 0x1F;
            extra = 1;
            min = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            c = b & 0x0F;
            extra = 2;
            min = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            c = b & 0x07;
            extra = 3;
            min = 0x10000;
        } else {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        bool ok = true;
        for (int k = 0; k < extra; ++k, ++j) {
            if (j >= n || (static_cast<unsigned char>(text[j]) & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            c = (c << 6) | (static_cast<unsigned char>(text[j]) & 0x3F);
        }
        if (!ok || c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            out.push_back(0xFFFD);
            i = ok ? j : (j > i + 1 ? j : i + 1);
            continue;
        }
        i = j;
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
    }
    return out;
}

}  // namespace wince
