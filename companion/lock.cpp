#include "lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace {

constexpr std::chrono::milliseconds lock_retry{10};
constexpr mode_t lock_mode = 0644;

constexpr int open_flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW;

std::string not_regular(const std::string &path)
{
    return "lock file " + path + " is not a regular file";
}

// Non-blocking and without following a link, so that a FIFO, a device or a
// link put there cannot stall the reading or redirect it; only a plain file is kept.
int open_existing(const std::string &path, std::string &error)
{
    const int fd = open(path.c_str(), open_flags);
    if (fd < 0) {
        // A link refuses with ELOOP, a socket with ENXIO.
        if (errno == ELOOP || errno == ENXIO)
            error = not_regular(path);
        else if (errno != ENOENT)
            error = "cannot open the lock file " + path + ": " + std::strerror(errno);
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        error = not_regular(path);
        return -1;
    }
    return fd;
}

// With fs.protected_regular, O_CREAT on another user's file in a sticky folder
// fails even when the file exists; so open without it first, create only when missing.
int open_lock_file(const std::string &path, std::string &error)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int fd = open_existing(path, error);
        if (fd >= 0 || !error.empty())
            return fd;
        const int created = open(path.c_str(), open_flags | O_CREAT | O_EXCL, lock_mode);
        if (created >= 0) {
            // The umask must not lock other users out.
            fchmod(created, lock_mode);
            return created;
        }
        if (errno != EEXIST) {
            const std::string folder = path.substr(0, path.rfind('/') + 1);
            error = "cannot create the lock file " + path + ": " + std::strerror(errno) +
                    (errno == ENOENT && !folder.empty() ? " (no folder " + folder + ")" : "");
            return -1;
        }
    }
    error = "cannot open the lock file " + path + ": it keeps disappearing";
    return -1;
}

}  // namespace

ReaderLock::~ReaderLock()
{
    if (fd >= 0)
        close(fd);
}

std::string take_reader_lock(const std::string &path, Clock::time_point deadline, ReaderLock &lock)
{
    std::string error;
    lock.fd = open_lock_file(path, error);
    if (lock.fd < 0)
        return error;
    for (;;) {
        if (flock(lock.fd, LOCK_EX | LOCK_NB) == 0)
            return {};
        if (errno != EWOULDBLOCK && errno != EINTR)
            return "cannot lock " + path + ": " + std::strerror(errno);
        if (Clock::now() + lock_retry >= deadline)
            return "another reading held " + path + " for the whole time limit";
        std::this_thread::sleep_for(lock_retry);
    }
}
