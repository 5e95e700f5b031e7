#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "fd.h"
#include "mqtt.h"

namespace wex_q40 {

namespace {

constexpr off_t credentials_limit = 4096;
// Debian's whole bundle of public CAs is about 200 KB.
constexpr off_t cafile_limit = off_t{1024} * 1024;
constexpr mode_t others_bits = S_IRWXG | S_IRWXO;

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

// The file is opened once, never blocking (a FIFO would), and checked as opened, so that it cannot change in between.
std::string read_small_file(const std::string &path, const char *what, off_t limit, bool owner_only, std::string &text)
{
    const Fd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat status {};
    if (fd.fd < 0 || fstat(fd.fd, &status) != 0)
        return std::string("cannot read the ") + what + " " + path + ": " + std::strerror(errno);
    if (!S_ISREG(status.st_mode))
        return std::string("the ") + what + " " + path + " is not a regular file but " + kind_of(status.st_mode);
    if (status.st_size > limit)
        return std::string("the ") + what + " " + path + " is larger than " + std::to_string(limit) + " bytes";
    if (owner_only && (status.st_mode & others_bits) != 0)
        return std::string("the ") + what + " " + path + " is open to others (mode " + mode_text(status.st_mode) +
               "): chmod 600 " + path;
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
        return std::string("the ") + what + " " + path + " is larger than " + std::to_string(limit) + " bytes";
    text.resize(got);
    return {};
}

std::string next_line(const std::string &text, std::size_t &at, bool &found)
{
    found = at < text.size();
    const std::size_t end = std::min(text.find('\n', at), text.size());
    std::string line = found ? text.substr(at, end - at) : std::string();
    at = end + 1;
    // A file written on another system may end its lines with CR LF.
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

}  // namespace

// The user name on the first line, the password on the second.
std::string read_credentials(const std::string &path, Credentials &c)
{
    std::string text;
    if (std::string error = read_small_file(path, "credentials file", credentials_limit, true, text); !error.empty())
        return error;
    std::size_t at = 0;
    bool found = false;
    c.user = next_line(text, at, found);
    c.password = next_line(text, at, c.has_password);
    if (c.user.empty())
        return "the credentials file " + path + " has no user name on its first line";
    return {};
}

std::string read_cafile(const std::string &path, std::string &pem)
{
    return read_small_file(path, "CA file", cafile_limit, false, pem);
}

}  // namespace wex_q40
