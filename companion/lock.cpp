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

// With fs.protected_regular, O_CREAT on another user's file in a sticky folder
// fails even when the file exists; so open without it first, create only when missing.
int open_lock_file(const std::string &path, std::string &error)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
        if (fd >= 0 || errno != ENOENT) {
            if (fd < 0)
                error = "cannot open the lock file " + path + ": " + std::strerror(errno);
            return fd;
        }
        const int created = open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, lock_mode);
        if (created >= 0) {
            // The umask must not lock other users out.
            fchmod(created, lock_mode);
            return created;
        }
        if (errno != EEXIST) {
            error = "cannot create the lock file " + path + ": " + std::strerror(errno);
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
