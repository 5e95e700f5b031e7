#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

#include "diagnose_check.h"
#include "fd.h"
#include "lock.h"

namespace wex_q40 {

namespace {

namespace fs = std::filesystem;

// As the reading opens it: no link followed, no FIFO waited on.
constexpr int lock_open_flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW;
constexpr std::size_t name_buffer = 16384;

// Who holds a flock on the file now, from /proc/locks.
std::string lock_holder(const struct stat &st)
{
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        std::istringstream fields(line);
        std::string number, kind, mode, access, pid, id;
        fields >> number >> kind >> mode >> access >> pid >> id;
        const std::string inode = ":" + std::to_string(st.st_ino);
        if (kind == "FLOCK" && id.size() > inode.size() && id.compare(id.size() - inode.size(), inode.size(), inode) == 0)
            return "held by process " + pid;
    }
    return "held by another process";
}

std::string folder_of(const fs::path &file)
{
    return file.has_parent_path() ? file.parent_path().string() : std::string(".");
}

// The reading's own rule: a folder that would let another user replace the lock file is a problem.
std::optional<Check> lock_folder_check(const std::string &lock, const std::string &folder)
{
    struct stat st {};
    if (stat(folder.c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
        return Check{Verdict::problem, "lock folder " + folder + " is not a folder", lock_folder_fix};
    const std::string problem = lock_folder_problem(lock);
    if (problem.empty())
        return std::nullopt;
    return Check{Verdict::problem, problem, lock_folder_fix};
}

Check missing_lock_file(const std::string &lock, const std::string &folder)
{
    if (access(folder.c_str(), W_OK | X_OK) == 0)
        return {Verdict::ok, "lock file " + lock + " made at the first reading", ""};
    return {Verdict::problem, "lock folder " + folder + " missing or not writable by this user",
            std::string(lock_folder_fix) + ", and join plugdev"};
}

}  // namespace

std::string mode_text(mode_t mode)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

std::string user_name(uid_t uid)
{
    passwd entry{};
    passwd *found = nullptr;
    std::vector<char> buffer(name_buffer);
    const bool known = getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr;
    return known ? found->pw_name : std::to_string(uid);
}

Check lock_check(const std::string &lock)
{
    const std::string folder = folder_of(lock);
    if (auto problem = lock_folder_check(lock, folder))
        return *problem;
    const wex_common::Fd file(open(lock.c_str(), lock_open_flags));
    const int reason = errno;
    struct stat st {};
    if (file.fd < 0 && reason == ENOENT)
        return missing_lock_file(lock, folder);
    const bool opened_other = file.fd >= 0 && (fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode));
    if (opened_other || (file.fd < 0 && (reason == ELOOP || reason == ENXIO)))
        return {Verdict::problem, "lock file " + lock + " is not a regular file", "remove it: sudo rm " + lock};
    if (file.fd < 0) {
        const std::string seen =
            stat(lock.c_str(), &st) == 0 ? " (mode " + mode_text(st.st_mode) + ", owner " + user_name(st.st_uid) + ")" : "";
        return {Verdict::problem, "this user may not open the lock file " + lock + ": " + std::strerror(reason) + seen,
                "sudo rm " + lock + ", and the next reading makes it again, mode 0644"};
    }
    const std::string seen = "lock file " + lock + " mode " + mode_text(st.st_mode) + ", ";
    if (flock(file.fd, LOCK_EX | LOCK_NB) == 0)
        return {Verdict::ok, seen + "free, and this user may take it", ""};
    if (errno == EWOULDBLOCK)
        return {Verdict::ok, seen + lock_holder(st), ""};
    return {Verdict::problem, "this user cannot lock " + lock + ": " + std::strerror(errno), "sudo rm " + lock};
}

Check textfile_check(const std::string &folder)
{
    struct stat st {};
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return {Verdict::problem, "no textfile collector's folder " + folder,
                "install prometheus-node-exporter, or give the folder with -d"};
    if (access(folder.c_str(), W_OK | X_OK) != 0) {
        const std::string reason = std::strerror(errno);
        return {Verdict::problem,
                "this user may not write the textfile collector's folder " + folder + ": " + reason +
                    " (mode " + mode_text(st.st_mode) + ", owner " + user_name(st.st_uid) + ")",
                "run wex-q40 textfile as a user who may, as the package's service does, or give a folder with -d"};
    }
    return {Verdict::ok, "textfile collector's folder " + folder + ", which this user may write", ""};
}

}  // namespace wex_q40
