// Test support: runs part of a test in a forked child process set up as the
// check needs it: as an unprivileged user (file permissions do not bind
// root, and CI runs as root), on a small file system of its own, or with
// limits the test process must not get. The child's EXPECT/ASSERT failures print as usual; the
// call reports whether the child ran and passed.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <stdio.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

struct WinceChildSetup {
    bool unprivileged = false;  // under root, drop to user nobody first
    long tmpfsKiB = 0;          // > 0: the directory is a private tmpfs this size
};

namespace wince_testing_child {

inline bool WriteText(const char* path, const std::string& text) {
    int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return ok;
}

// In the child: why the set-up failed, or empty.
inline std::string Prepare(const WinceChildSetup& setup, const std::string& dir, uid_t uid,
                           gid_t gid) {
    if (setup.tmpfsKiB > 0) {
        const uid_t me = ::geteuid();
        const gid_t myGroup = ::getegid();
        if (me == 0) {
            if (::unshare(CLONE_NEWNS) != 0)
                return std::string("unshare(CLONE_NEWNS): ") + std::strerror(errno);
        } else {
            // A user namespace of our own, mapping us to ourselves, may mount.
            if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
                return std::string("unshare(CLONE_NEWUSER|CLONE_NEWNS): ") + std::strerror(errno);
            if (!WriteText("/proc/self/setgroups", "deny") ||
                !WriteText("/proc/self/uid_map",
                           std::to_string(me) + " " + std::to_string(me) + " 1") ||
                !WriteText("/proc/self/gid_map",
                           std::to_string(myGroup) + " " + std::to_string(myGroup) + " 1"))
                return std::string("mapping the user namespace: ") + std::strerror(errno);
        }
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return std::string("making the mounts private: ") + std::strerror(errno);
        const std::string options = "size=" + std::to_string(setup.tmpfsKiB) + "k,mode=0700";
        if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) != 0)
            return std::string("mounting a tmpfs: ") + std::strerror(errno);
    }
    if (setup.unprivileged && ::geteuid() == 0) {
        if (::chown(dir.c_str(), uid, gid) != 0)
            return std::string("chown of the directory: ") + std::strerror(errno);
        if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)
            return "dropping to uid " + std::to_string(uid) + ": " + std::strerror(errno);
        if (::setuid(0) == 0)
            return "uid " + std::to_string(uid) + " could become root again";
    }
    return {};
}

}  // namespace wince_testing_child

// Runs body(dir) in a child, dir being a fresh directory the child may write
// to. Returns empty when the body ran and no check in it failed, otherwise
// why not (also when the set-up, such as dropping root, was impossible:
// such a check fails rather than being skipped). Call it with no other
// threads of the test running.
inline std::string WinceRunInChild(const WinceChildSetup& setup,
                                   const std::function<void(const std::string& dir)>& body) {
    uid_t uid = 65534;
    gid_t gid = 65534;
    if (setup.unprivileged && ::geteuid() == 0) {
        const passwd* nobody = ::getpwnam("nobody");
        if (nobody == nullptr)
            return "there is no user nobody to drop root to";
        uid = nobody->pw_uid;
        gid = nobody->pw_gid;
        if (uid == 0)
            return "user nobody is root";
    }
    char tmpl[] = "/tmp/wince-child-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr)
        return std::string("mkdtemp: ") + std::strerror(errno);
    const std::string dir = tmpl;
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return std::string("pipe: ") + std::strerror(errno);
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipeFds[0]);
        const std::string why = wince_testing_child::Prepare(setup, dir, uid, gid);
        if (!why.empty()) {
            ssize_t ignored = ::write(pipeFds[1], why.data(), why.size());
            (void)ignored;
            ::_exit(3);
        }
        body(dir);
        std::fflush(nullptr);
        ::_exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    ::close(pipeFds[1]);
    std::string why;
    char buffer[256];
    for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;)
        why.append(buffer, static_cast<std::size_t>(n));
    ::close(pipeFds[0]);
    int status = 0;
    const bool waited = pid > 0 && ::waitpid(pid, &status, 0) == pid;
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    if (pid < 0)
        return std::string("fork: ") + std::strerror(errno);
    if (!waited)
        return "the child was lost";
    if (!why.empty())
        return "the child could not be set up: " + why;
    if (WIFSIGNALED(status))
        return "the child died of signal " + std::to_string(WTERMSIG(status));
    if (WEXITSTATUS(status) != 0)
        return "checks failed in the child (see above)";
    return {};
}
