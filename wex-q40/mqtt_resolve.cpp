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

#include "fd.h"
#include "mqtt.h"
#include "signals.h"

namespace wex_q40 {

namespace {

// The answer: the address, or "!" and the resolver's reason.
std::string look_up(const std::string &host, int flags)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    addrinfo *found = nullptr;
    if (const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found); rc != 0)
        return std::string("!") + gai_strerror(rc);
    std::array<char, NI_MAXHOST> numbers{};
    const int rc = getnameinfo(found->ai_addr, found->ai_addrlen, numbers.data(), numbers.size(), nullptr, 0,
                               NI_NUMERICHOST);
    freeaddrinfo(found);
    return rc == 0 ? std::string(numbers.data()) : std::string("!") + gai_strerror(rc);
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

std::string seconds_text(Clock::duration had)
{
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%.1f s", std::max(0.0, std::chrono::duration<double>(had).count()));
    return text.data();
}

// The system's resolver may wait on a dead name server far past any limit, and cannot be stopped in process.
std::string resolve_broker(const std::string &host, Clock::time_point deadline, std::string &error)
{
    const std::string numeric = look_up(host, AI_NUMERICHOST);
    if (numeric.rfind('!', 0) != 0)
        return numeric;
    const auto start = Clock::now();
    std::array<int, 2> pipe_ends{};
    if (pipe2(pipe_ends.data(), O_CLOEXEC) != 0) {
        error = std::string("cannot look up the broker ") + host + ": " + std::strerror(errno);
        return {};
    }
    Fd in(pipe_ends[0]);
    Fd out(pipe_ends[1]);
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
        error = "no address for the broker " + host + " within " + seconds_text(deadline - start);
    else if (text.empty() || text[0] == '!')
        error = "cannot look up the broker " + host + ": " + (text.empty() ? "no answer" : text.substr(1));
    else
        return text;
    return {};
}

}  // namespace wex_q40
