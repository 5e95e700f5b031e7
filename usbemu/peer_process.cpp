// umockdev sees an open end only when the program closes the node, so a killed
// program's opens would stay forever; the process behind each open tells instead.
#include "peer_process.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
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
// umockdev keeps its end of a connection open after the program has gone, so a
// socket stays taken for as long as it is open here, not only while its open lasts.
std::set<ino_t> taken;

// The path an accepted unix socket was accepted on: its listener's.
std::string listener_of(int fd)
{
    sockaddr_un address{};
    socklen_t size = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) != 0 || address.sun_family != AF_UNIX ||
        size <= offsetof(sockaddr_un, sun_path))
        return {};
    return std::string(address.sun_path, strnlen(address.sun_path, size - offsetof(sockaddr_un, sun_path)));
}

}  // namespace

namespace {

struct Scan {
    int candidates = 0;  // open sockets not handed out, with a living process behind them
    pid_t pid = 0;
    ino_t socket = 0;
};

Scan scan_peers(const std::string &listener)
{
    std::set<ino_t> open_sockets;
    Scan found;
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        const int fd = static_cast<int>(std::strtol(entry.path().filename().c_str(), nullptr, 10));
        struct stat st {};
        if (fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode))
            continue;
        open_sockets.insert(st.st_ino);
        ucred peer{};
        socklen_t size = sizeof peer;
        if (taken.count(st.st_ino) != 0 || listener_of(fd) != listener ||
            getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.pid <= 0 || peer.pid == getpid() ||
            !peer_alive(peer.pid))
            continue;
        ++found.candidates;
        found.pid = peer.pid;
        found.socket = st.st_ino;
    }
    // A closed socket's number may come back for a new one.
    for (auto it = taken.begin(); it != taken.end();)
        it = open_sockets.count(*it) != 0 ? std::next(it) : taken.erase(it);
    return found;
}

}  // namespace

pid_t take_new_peer(const std::string &listener)
{
    const std::lock_guard<std::mutex> guard(taken_lock);
    const Scan found = scan_peers(listener);
    if (found.candidates == 0)
        return 0;
    // Two programs connecting at once cannot be told apart: neither gets a process then.
    if (found.candidates > 1)
        return ambiguous_peer;
    taken.insert(found.socket);
    return found.pid;
}

bool untaken_peers_gone(const std::string &listener)
{
    const std::lock_guard<std::mutex> guard(taken_lock);
    return scan_peers(listener).candidates == 0;
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
