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

std::string not_regular(const std::string &path)
{
    return "lock file " + path + " is not a regular file";
}

// Non-blocking and without following a link, so that a FIFO, a device or a
// link put there cannot stall the reading or redirect it; only a plain file is kept.
// Empty with file closed when there is nothing at path.
std::string open_existing(const std::string &path, Fd &file)
{
    file.fd = open(path.c_str(), open_flags);
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
std::string open_lock_file(const std::string &path, Fd &file)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::string error = open_existing(path, file);
        if (file.fd >= 0 || !error.empty())
            return error;
        file.fd = open(path.c_str(), open_flags | O_CREAT | O_EXCL, lock_mode);
        if (file.fd >= 0) {
            // The umask must not lock other users out.
            fchmod(file.fd, lock_mode);
            return {};
        }
        const int reason = errno;
        if (reason != EEXIST) {
            const std::string folder = path.substr(0, path.rfind('/') + 1);
            return "cannot create the lock file " + path + ": " + std::strerror(reason) +
                   (reason == ENOENT && !folder.empty() ? " (no folder " + folder + ")" : "");
        }
    }
    return "cannot open the lock file " + path + ": it keeps disappearing";
}

}  // namespace

std::string take_reader_lock(const std::string &path, Clock::time_point deadline, Fd &lock)
{
    if (std::string error = open_lock_file(path, lock); !error.empty())
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

}  // namespace wex_q40
