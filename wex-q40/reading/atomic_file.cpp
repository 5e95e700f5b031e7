#include "atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "fd.h"
#include "signals.h"

namespace wex_q40 {

namespace {

constexpr mode_t file_mode = 0644;

std::string failure(const std::string &what, const std::string &path)
{
    return "cannot " + what + " " + path + ": " + std::strerror(errno);
}

bool write_all(int fd, const std::string &content)
{
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Everything up to the rename; the temporary file is left for the caller to remove.
std::string write_temporary(int fd, const std::string &path, const std::string &content)
{
    if (!write_all(fd, content))
        return failure("write", path);
    // mkstemp makes the file 0600, and the exporter runs as another user.
    if (fchmod(fd, file_mode) != 0)
        return failure("set the mode of", path);
    if (fsync(fd) != 0)
        return failure("flush", path);
    return {};
}

}  // namespace

std::string replace_file(const std::string &folder, const std::string &name, const std::string &content)
{
    const std::string target = folder + "/" + name;
    std::string temporary = folder + "/." + name + ".XXXXXX";
    wex_common::Fd file(mkostemp(temporary.data(), O_CLOEXEC));
    if (file.fd < 0)
        return failure("create a file in", folder);
    set_file_to_remove(temporary.c_str());
    std::string error = write_temporary(file.fd, temporary, content);
    if (file.close_now() != 0 && error.empty())
        error = failure("close", temporary);
    if (error.empty() && rename(temporary.c_str(), target.c_str()) != 0)
        error = failure("replace " + target + " with", temporary);
    if (!error.empty())
        unlink(temporary.c_str());
    set_file_to_remove(nullptr);
    if (!error.empty())
        return error;

    const wex_common::Fd dir(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.fd < 0)
        return failure("open the folder", folder);
    // Some file systems cannot flush a folder and say so with EINVAL.
    const bool flushed = fsync(dir.fd) == 0 || errno == EINVAL;
    return flushed ? std::string() : failure("flush the folder", folder);
}

std::optional<std::string> read_small_file(const std::string &path, std::size_t limit)
{
    const wex_common::Fd file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (file.fd < 0)
        return std::nullopt;
    std::string content;
    std::array<char, 4096> buffer{};
    while (content.size() < limit) {
        const ssize_t n = read(file.fd, buffer.data(), std::min(buffer.size(), limit - content.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        content.append(buffer.data(), static_cast<std::size_t>(n));
    }
    return content;
}

}  // namespace wex_q40
