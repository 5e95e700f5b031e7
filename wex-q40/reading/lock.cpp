#include "lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace wex_q40 {

namespace {

constexpr std::chrono::milliseconds lock_retry{10};
constexpr mode_t lock_mode = 0644;

constexpr int open_flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW;

const std::string folder_fix =
    std::string("; ") + lock_folder_fix + " makes /run/wex-q40 as it should be, or give -l a folder of your own";

std::string not_regular(const std::string &path)
{
    return "lock file " + path + " is not a regular file";
}

std::string folder_of(const std::string &path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// Whoever may write the folder may swap the lock file (or the shared reading) under a reader holding it;
// a group may only where the sticky bit keeps it from another's files, as the package makes the folder (3770).
std::string unsafe_folder(const std::string &folder, const struct stat &st)
{
    if (st.st_uid != 0 && st.st_uid != geteuid())
        return "the lock's folder " + folder + " belongs to user " + std::to_string(st.st_uid) +
               ", neither root nor this user";
    if ((st.st_mode & S_IWOTH) != 0)
        return "the lock's folder " + folder + " is writable by every user";
    if ((st.st_mode & S_IWGRP) != 0 && (st.st_mode & S_ISVTX) == 0)
        return "the lock's folder " + folder + " is writable by its group without the sticky bit";
    return {};
}

// Empty with folder open and verified, or with folder closed when it is missing (the lock's creation then says so);
// refused tells a folder refused from one that could not be opened.
std::string open_folder(const std::string &path, wex_common::Fd &folder, bool &refused)
{
    const std::string name = folder_of(path);
    folder.fd = open(name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    struct stat st {};
    if (folder.fd < 0) {
        const int reason = errno;
        refused = lstat(name.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
        if (refused)
            return "the lock's folder " + name + " is a symbolic link";
        return reason == ENOENT ? std::string() : "cannot open the lock's folder " + name + ": " + std::strerror(reason);
    }
    if (fstat(folder.fd, &st) != 0)
        return "cannot open the lock's folder " + name + ": " + std::strerror(errno);
    std::string unsafe = unsafe_folder(name, st);
    refused = !unsafe.empty();
    return unsafe;
}

// Non-blocking and without following a link, so that a FIFO, a device or a
// link put there cannot stall the reading or redirect it; only a plain file is kept.
// Empty with file closed when there is nothing at path.
std::string open_existing(int folder, const std::string &name, const std::string &path, wex_common::Fd &file)
{
    file.fd = openat(folder, name.c_str(), open_flags);
    if (file.fd < 0) {
        // A link refuses with ELOOP, a socket with ENXIO.
        if (errno == ELOOP || errno == ENXIO)
            return not_regular(path);
        return errno == ENOENT ? std::string() : "cannot open the lock file " + path + ": " + std::strerror(errno);
    }
    struct stat st {};
    if (fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        file.reset();
        return not_regular(path);
    }
    return {};
}

// With fs.protected_regular, O_CREAT on another user's file in a sticky folder
// fails even when the file exists; so open without it first, create only when missing.
std::string open_lock_file(const std::string &path, wex_common::Fd &file)
{
    wex_common::Fd folder;
    bool refused = false;
    if (std::string error = open_folder(path, folder, refused); !error.empty())
        return refused ? error + folder_fix : error;
    // A missing folder leaves the path to the open, which names it.
    const int at = folder.fd >= 0 ? folder.fd : AT_FDCWD;
    const std::string name = folder.fd >= 0 ? path.substr(path.rfind('/') + 1) : path;
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::string error = open_existing(at, name, path, file);
        if (file.fd >= 0 || !error.empty())
            return error;
        file.fd = openat(at, name.c_str(), open_flags | O_CREAT | O_EXCL, lock_mode);
        if (file.fd >= 0) {
            // The umask must not lock other users out.
            fchmod(file.fd, lock_mode);
            return {};
        }
        const int reason = errno;
        if (reason != EEXIST) {
            const std::string folder_name = path.substr(0, path.rfind('/') + 1);
            return "cannot create the lock file " + path + ": " + std::strerror(reason) +
                   (reason == ENOENT && !folder_name.empty() ? " (no folder " + folder_name + ")" : "");
        }
    }
    return "cannot open the lock file " + path + ": it keeps disappearing";
}

}  // namespace

std::string lock_folder_problem(const std::string &path)
{
    wex_common::Fd folder;
    bool refused = false;
    std::string problem = open_folder(path, folder, refused);
    return refused ? problem : std::string();
}

std::string take_reader_lock(const std::string &path, const Budget &budget, wex_common::Fd &lock)
{
    if (std::string error = open_lock_file(path, lock); !error.empty())
        return error;
    for (;;) {
        if (flock(lock.fd, LOCK_EX | LOCK_NB) == 0)
            return {};
        if (errno != EWOULDBLOCK && errno != EINTR)
            return "cannot lock " + path + ": " + std::strerror(errno);
        if (Clock::now() + lock_retry >= budget.deadline)
            return "another reading held " + path + " for the whole " + seconds_text(budget.had()) +
                   " s the reading had";
        std::this_thread::sleep_for(lock_retry);
    }
}

}  // namespace wex_q40
