#include "operator_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "fd.h"

namespace wex_q40 {

namespace {

constexpr mode_t others_bits = S_IRWXG | S_IRWXO;
constexpr mode_t written_by_others = S_IWGRP | S_IWOTH;

const char *kind_of(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISSOCK(mode))
        return "a socket";
    return "a device";
}

std::string mode_text(mode_t mode)
{
    std::array<char, 8> text{};
    std::snprintf(text.data(), text.size(), "%04o", static_cast<unsigned>(mode & 07777));
    return text.data();
}

std::string untrusted(const std::string &named, const std::string &path, const struct stat &status, FileTrust trust)
{
    if (trust == FileTrust::owner_only && (status.st_mode & others_bits) != 0)
        return named + " is open to others (mode " + mode_text(status.st_mode) + "): chmod 600 " + path;
    if (trust != FileTrust::trusted)
        return {};
    if (status.st_uid != 0 && status.st_uid != geteuid())
        return named + " belongs to user " + std::to_string(status.st_uid) + ", neither root nor this user";
    if ((status.st_mode & written_by_others) != 0)
        return named + " may be written by others (mode " + mode_text(status.st_mode) + "): chmod go-w " + path;
    return {};
}

}  // namespace

// Never blocking on open (a FIFO would), and checked through the descriptor, so that it cannot change in between.
std::string read_operator_file(const std::string &path, const char *what, off_t limit, FileTrust trust,
                               std::string &text)
{
    const std::string named = std::string("the ") + what + " " + path;
    const wex_common::Fd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat status {};
    if (fd.fd < 0 || fstat(fd.fd, &status) != 0)
        return std::string("cannot read the ") + what + " " + path + ": " + std::strerror(errno);
    if (!S_ISREG(status.st_mode))
        return named + " is not a regular file but " + kind_of(status.st_mode);
    if (status.st_size > limit)
        return named + " is larger than " + std::to_string(limit) + " bytes";
    if (std::string error = untrusted(named, path, status, trust); !error.empty())
        return error;
    text.assign(static_cast<std::size_t>(limit) + 1, '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = read(fd.fd, &text[got], text.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::string("cannot read the ") + what + " " + path + ": " + std::strerror(errno);
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    // It grew after the check.
    if (got > static_cast<std::size_t>(limit))
        return named + " is larger than " + std::to_string(limit) + " bytes";
    text.resize(got);
    return {};
}

}  // namespace wex_q40
