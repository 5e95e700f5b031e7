#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fd.h"
#include "mqtt_parts.h"
#include "signals.h"

namespace wex_q40 {

namespace {

// A name may stand for several addresses (localhost for 127.0.0.1 and ::1), of which the broker may listen on one.
constexpr std::chrono::milliseconds probe_limit{1000};

// The answer: the addresses in the resolver's order, one a line, or "!" and the resolver's reason.
std::string look_up(const std::string &host, int flags)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    addrinfo *found = nullptr;
    if (const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found); rc != 0)
        return std::string("!") + gai_strerror(rc);
    std::string text;
    int rc = 0;
    for (const addrinfo *a = found; a != nullptr && rc == 0; a = a->ai_next) {
        std::array<char, NI_MAXHOST> numbers{};
        rc = getnameinfo(a->ai_addr, a->ai_addrlen, numbers.data(), numbers.size(), nullptr, 0, NI_NUMERICHOST);
        const std::string line = std::string(numbers.data()) + "\n";
        if (rc == 0 && text.find(line) == std::string::npos)
            text += line;
    }
    freeaddrinfo(found);
    return rc == 0 ? text : std::string("!") + gai_strerror(rc);
}

// Whether something accepts a TCP connection at address and port before the deadline.
bool accepts(const std::string &address, unsigned port, Clock::time_point deadline)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    if (getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0)
        return false;
    const wex_common::Fd s(socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    bool connected = s.fd >= 0 && connect(s.fd, found->ai_addr, found->ai_addrlen) == 0;
    freeaddrinfo(found);
    if (s.fd < 0 || connected || errno != EINPROGRESS)
        return connected;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{s.fd, POLLOUT, 0};
    int failure = 0;
    socklen_t size = sizeof failure;
    return left > 0 && poll(&p, 1, static_cast<int>(left)) == 1 &&
           getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &failure, &size) == 0 && failure == 0;
}

// The first address that accepts a connection, or the first of all, whose failure the client then names.
std::string reachable(const std::string &addresses, unsigned port, Clock::time_point deadline)
{
    std::vector<std::string> all;
    for (std::size_t at = 0, end; (end = addresses.find('\n', at)) != std::string::npos; at = end + 1)
        all.push_back(addresses.substr(at, end - at));
    if (all.size() <= 1)
        return all.empty() ? std::string() : all.front();
    for (const std::string &address : all)
        if (accepts(address, port, std::min(deadline, Clock::now() + probe_limit)))
            return address;
    return all.front();
}

[[noreturn]] void answer(int out, const std::string &host)
{
    const std::string text = look_up(host, AI_ADDRCONFIG);
    std::size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = write(out, text.data() + sent, text.size() - sent);
        if (n <= 0)
            break;
        sent += static_cast<std::size_t>(n);
    }
    _exit(0);
}

// What the child wrote before it ended; false when the deadline came first.
bool read_answer(int in, Clock::time_point deadline, std::string &text)
{
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        pollfd p{in, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        std::array<char, NI_MAXHOST> buffer{};
        const ssize_t n = read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return true;
        text.append(buffer.data(), static_cast<std::size_t>(n));
    }
}

}  // namespace

// The system's resolver may wait on a dead name server far past any limit, and cannot be stopped in process.
std::string resolve_broker(const std::string &host, unsigned port, Clock::time_point deadline, std::string &error)
{
    const std::string numeric = look_up(host, AI_NUMERICHOST);
    if (numeric.rfind('!', 0) != 0)
        return reachable(numeric, port, deadline);
    const auto start = Clock::now();
    std::array<int, 2> pipe_ends{};
    if (pipe2(pipe_ends.data(), O_CLOEXEC) != 0) {
        error = std::string("cannot look up the broker ") + host + ": " + std::strerror(errno);
        return {};
    }
    wex_common::Fd in(pipe_ends[0]);
    wex_common::Fd out(pipe_ends[1]);
    const pid_t child = fork();
    if (child == 0) {
        setpgid(0, 0);
        answer(out.fd, host);
    }
    if (child < 0) {
        error = std::string("cannot look up the broker ") + host + ": " + std::strerror(errno);
        return {};
    }
    setpgid(child, child);
    set_child_group(child);
    out.reset();
    std::string text;
    const bool answered = read_answer(in.fd, deadline, text);
    if (!answered)
        kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    set_child_group(0);
    if (!answered)
        error = "no address for the broker " + host + " within " + seconds_text(deadline - start) + " s";
    else if (text.empty() || text[0] == '!')
        error = "cannot look up the broker " + host + ": " + (text.empty() ? "no answer" : text.substr(1));
    else
        return reachable(text, port, deadline);
    return {};
}

}  // namespace wex_q40
