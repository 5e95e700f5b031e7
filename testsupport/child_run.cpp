#include "child_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <optional>
#include <system_error>

#include "fd.h"

namespace wex_test {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int exec_failed_status = 127;
constexpr int reap_interval_ms = 5;

[[noreturn]] void fail(const char *what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

using wex_common::Fd;

struct Pipe {
    Fd read_end, write_end;
    Pipe()
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            fail("pipe2");
        read_end.fd = fds[0];
        write_end.fd = fds[1];
    }
};

int milliseconds_left(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
}

// One read of what poll found; false at the end of the stream.
bool drain(int fd, std::string &sink)
{
    char chunk[4096];
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n > 0) {
            sink.append(chunk, static_cast<std::size_t>(n));
            return true;
        }
        if (n == 0 || errno != EINTR)
            return false;
    }
}

// Both streams until they close; false when the deadline comes first.
bool collect(int out, int err, ChildRun &run, Clock::time_point deadline)
{
    pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
    std::string *sinks[2] = {&run.out, &run.err};
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        const int left = milliseconds_left(deadline);
        if (left == 0)
            return false;
        if (poll(fds, 2, left) < 0) {
            if (errno == EINTR)
                continue;
            return false;  // poll itself failed: the child is ended as at the time limit
        }
        for (int i = 0; i < 2; ++i)
            if (fds[i].fd >= 0 && fds[i].revents != 0 && !drain(fds[i].fd, *sinks[i]))
                fds[i].fd = -1;  // poll passes over negative descriptors
    }
    return true;
}

// The child's wait status, or none when the deadline comes first.
std::optional<int> reap(pid_t pid, Clock::time_point deadline)
{
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            return status;
        if (done < 0 && errno != EINTR)
            fail("waitpid");
        const int left = milliseconds_left(deadline);
        if (left == 0)
            return std::nullopt;
        poll(nullptr, 0, std::min(left, reap_interval_ms));
    }
}

}  // namespace

std::vector<char *> exec_pointers(std::vector<std::string> &strings)
{
    std::vector<char *> out;
    out.reserve(strings.size() + 1);
    for (std::string &s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

ChildRun run_child(const std::vector<std::string> &argv, const std::vector<std::string> &env, double time_limit_s)
{
    std::vector<std::string> args = argv;
    std::vector<std::string> vars = env;
    const std::vector<char *> arg_p = exec_pointers(args);
    const std::vector<char *> env_p = exec_pointers(vars);
    const Fd null_input(open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (null_input.fd < 0)
        fail("/dev/null");
    Pipe out, err;

    const auto start = Clock::now();
    const pid_t pid = fork();
    if (pid < 0)
        fail("fork");
    if (pid == 0) {
        setpgid(0, 0);
        dup2(null_input.fd, STDIN_FILENO);
        dup2(out.write_end.fd, STDOUT_FILENO);
        dup2(err.write_end.fd, STDERR_FILENO);
        execve(arg_p[0], arg_p.data(), env_p.data());
        _exit(exec_failed_status);
    }
    // Also here, so that the group exists even if the time limit passes before the child runs.
    setpgid(pid, pid);
    out.write_end.reset();
    err.write_end.reset();

    ChildRun run;
    const auto deadline =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(time_limit_s));
    std::optional<int> status;
    if (collect(out.read_end.fd, err.read_end.fd, run, deadline))
        status = reap(pid, deadline);
    if (!status) {
        run.timed_out = true;
        kill(-pid, SIGKILL);
        int killed = 0;
        while (waitpid(pid, &killed, 0) < 0 && errno == EINTR) {
        }
    } else if (WIFEXITED(*status)) {
        run.status = WEXITSTATUS(*status);
    }
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return run;
}

std::vector<std::string> environment_with(const std::vector<std::string> &set, const std::vector<std::string> &unset)
{
    const auto name_of = [](const std::string &entry) { return entry.substr(0, entry.find('=')); };
    std::vector<std::string> env;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const std::string name = name_of(text);
        const bool unset_here = std::find(unset.begin(), unset.end(), name) != unset.end();
        const bool set_here =
            std::any_of(set.begin(), set.end(), [&](const std::string &added) { return name_of(added) == name; });
        if (!unset_here && !set_here)
            env.push_back(text);
    }
    env.insert(env.end(), set.begin(), set.end());
    return env;
}

}  // namespace wex_test
