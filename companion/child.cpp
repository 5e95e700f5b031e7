#include "child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "signals.h"

namespace {

using std::chrono::milliseconds;

constexpr milliseconds term_grace{500};
constexpr milliseconds kill_wait{300};
constexpr milliseconds poll_fallback{10};

struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    ~Fd() { reset(); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    void reset()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
};

struct SpawnSetup {
    posix_spawn_file_actions_t actions{};
    posix_spawnattr_t attr{};
    SpawnSetup()
    {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attr);
    }
    ~SpawnSetup()
    {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
    SpawnSetup(const SpawnSetup &) = delete;
    SpawnSetup &operator=(const SpawnSetup &) = delete;
};

// Keeps the handled signals pending while the child's group is not yet known.
struct BlockedSignals {
    sigset_t old{};
    BlockedSignals()
    {
        sigset_t set;
        sigemptyset(&set);
        for (const int s : handled_signals)
            sigaddset(&set, s);
        sigprocmask(SIG_BLOCK, &set, &old);
    }
    ~BlockedSignals() { sigprocmask(SIG_SETMASK, &old, nullptr); }
    BlockedSignals(const BlockedSignals &) = delete;
    BlockedSignals &operator=(const BlockedSignals &) = delete;
};

int milliseconds_until(Clock::time_point when)
{
    const auto left = std::chrono::duration_cast<milliseconds>(when - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left + 1);
}

// pidfd polls readable when the child ends; without one, poll at short intervals.
int poll_ms(int pidfd, int left)
{
    return pidfd >= 0 ? left : std::min(left, static_cast<int>(poll_fallback.count()));
}

// Reads what is there; false at end of stream or on an error.
bool drain(int fd, std::string &sink)
{
    std::array<char, 4096> buffer{};
    for (;;) {
        const ssize_t n = read(fd, buffer.data(), buffer.size());
        if (n > 0) {
            const std::size_t room = captured_bytes - std::min(captured_bytes, sink.size());
            sink.append(buffer.data(), std::min(room, static_cast<std::size_t>(n)));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 && errno == EAGAIN;
    }
}

// Leaves the child a zombie, so its process group id cannot be reused before the group is killed.
bool has_ended(pid_t pid)
{
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

bool wait_exit(pid_t pid, int pidfd, Clock::time_point until)
{
    for (;;) {
        if (has_ended(pid))
            return true;
        const int left = milliseconds_until(until);
        if (left == 0)
            return false;
        pollfd p{pidfd, POLLIN, 0};
        poll(&p, 1, poll_ms(pidfd, left));
    }
}

void record_status(ChildRun &run, int status)
{
    if (WIFEXITED(status)) {
        run.end = ChildRun::End::exited;
        run.code = WEXITSTATUS(status);
    } else {
        run.end = ChildRun::End::signalled;
        run.code = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }
}

}  // namespace

ChildRun run_child(const std::string &program, Clock::time_point deadline)
{
    ChildRun run;
    std::array<int, 2> out{-1, -1};
    std::array<int, 2> err{-1, -1};
    if (pipe2(out.data(), O_CLOEXEC) != 0 || pipe2(err.data(), O_CLOEXEC) != 0) {
        run.error = std::string("cannot make a pipe: ") + std::strerror(errno);
        for (const int f : {out[0], out[1]})
            if (f >= 0)
                close(f);
        return run;
    }
    Fd out_read(out[0]);
    Fd out_write(out[1]);
    Fd err_read(err[0]);
    Fd err_write(err[1]);

    SpawnSetup setup;
    posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&setup.actions, out_write.fd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&setup.actions, err_write.fd, STDERR_FILENO);
    sigset_t none;
    sigset_t defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (const int s : handled_signals)
        sigaddset(&defaults, s);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&setup.attr, 0);
    posix_spawnattr_setsigmask(&setup.attr, &none);
    posix_spawnattr_setsigdefault(&setup.attr, &defaults);

    std::string path = program;
    std::array<char *, 2> argv{path.data(), nullptr};
    pid_t pid = 0;
    {
        const BlockedSignals blocked;
        const int failed = posix_spawn(&pid, path.c_str(), &setup.actions, &setup.attr, argv.data(), environ);
        if (failed != 0) {
            run.error = "cannot run " + program + ": " + std::strerror(failed);
            return run;
        }
        set_child_group(pid);
    }
    out_write.reset();
    err_write.reset();
    fcntl(out_read.fd, F_SETFL, O_NONBLOCK);
    fcntl(err_read.fd, F_SETFL, O_NONBLOCK);
    Fd pidfd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));

    bool exited = false;
    std::array<pollfd, 3> fds{pollfd{out_read.fd, POLLIN, 0}, pollfd{err_read.fd, POLLIN, 0},
                              pollfd{pidfd.fd, POLLIN, 0}};
    std::array<std::string *, 2> sinks{&run.out, &run.err};
    while (!exited) {
        const int left = milliseconds_until(deadline);
        if (left == 0)
            break;
        if (poll(fds.data(), fds.size(), poll_ms(pidfd.fd, left)) < 0 && errno != EINTR)
            break;
        for (std::size_t i = 0; i < sinks.size(); ++i)
            if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP)) != 0 && !drain(fds[i].fd, *sinks[i]))
                fds[i].fd = -1;
        exited = has_ended(pid);
    }
    if (!exited) {
        kill(-pid, SIGTERM);
        if (!wait_exit(pid, pidfd.fd, Clock::now() + term_grace)) {
            kill(-pid, SIGKILL);
            wait_exit(pid, pidfd.fd, Clock::now() + kill_wait);
        }
    }
    // Whatever the program left behind in its group must not outlive the reading.
    kill(-pid, SIGKILL);
    set_child_group(0);
    drain(out_read.fd, run.out);
    drain(err_read.fd, run.err);
    int status = 0;
    const bool reaped = waitpid(pid, &status, WNOHANG) == pid;
    if (exited && reaped)
        record_status(run, status);
    else
        run.end = ChildRun::End::timed_out;
    return run;
}
