// umockdev sees an open end only when the program closes the node, so a killed
// program's opens would stay forever; the process behind each open tells instead.
#include "peer_process.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <string>

namespace usbemu {

namespace {

std::mutex taken_lock;
std::set<ino_t> taken;

}  // namespace

pid_t take_new_peer(ino_t &socket)
{
    socket = 0;
    const std::lock_guard<std::mutex> guard(taken_lock);
    pid_t found = 0;
    int candidates = 0;
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        const int fd = static_cast<int>(std::strtol(entry.path().filename().c_str(), nullptr, 10));
        struct stat st {};
        ucred peer{};
        socklen_t size = sizeof peer;
        if (fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode) || taken.count(st.st_ino) != 0 ||
            getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.pid <= 0 || peer.pid == getpid())
            continue;
        ++candidates;
        found = peer.pid;
        socket = st.st_ino;
    }
    // Two programs connecting at once cannot be told apart: neither gets a process then.
    if (candidates != 1) {
        socket = 0;
        return 0;
    }
    taken.insert(socket);
    return found;
}

void let_go_of_peer(ino_t socket)
{
    const std::lock_guard<std::mutex> guard(taken_lock);
    taken.erase(socket);
}

bool peer_alive(pid_t pid)
{
    if (pid <= 0)
        return true;
    // A killed program nobody has reaped yet is a zombie, its files already closed.
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return kill(pid, 0) == 0 || errno != ESRCH;
    const std::size_t state = line.rfind(')') + 2;
    return state < line.size() && line[state] != 'Z' && line[state] != 'X';
}

}  // namespace usbemu
