#include "child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

#include "fd.h"
#include "signals.h"

namespace wex_q40 {

namespace {

using std::chrono::milliseconds;

constexpr milliseconds shortest_grace{50};
constexpr milliseconds longest_grace{500};
constexpr milliseconds kill_wait{50};
// Reaping and printing after the program has gone.
constexpr milliseconds finish_reserve{50};
constexpr milliseconds poll_fallback{10};

struct Pipe {
    Fd read;
    Fd write;
    bool open()
    {
        std::array<int, 2> ends{-1, -1};
        if (pipe2(ends.data(), O_CLOEXEC) != 0)
            return false;
        read.fd = ends[0];
        write.fd = ends[1];
        return true;
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

// The reading's process group is led by a watchdog that only waits for the
// pipe from wex-q40 to close: however wex-q40 ends, SIGKILL included, the
// watchdog then kills the whole group, the reading program's children too.
pid_t start_watchdog(Pipe &life)
{
    const BlockedSignals blocked;
    const pid_t watchdog = fork();
    if (watchdog != 0) {
        if (watchdog > 0) {
            setpgid(watchdog, watchdog);
            set_child_group(watchdog);
            life.read.reset();
        }
        return watchdog;
    }
    setpgid(0, 0);
    // Only SIGKILL ends the watchdog, so the SIGTERM sent to a slow program leaves the group watched.
    for (const int s : handled_signals)
        signal(s, SIG_IGN);
    sigprocmask(SIG_SETMASK, &blocked.old, nullptr);
    dup2(life.read.fd, STDIN_FILENO);
    close_range(STDOUT_FILENO, ~0U, 0);
    char byte = 0;
    while (read(STDIN_FILENO, &byte, 1) < 0 && errno == EINTR) {
    }
    kill(0, SIGKILL);
    _exit(0);
}

// Kills what is left of the group, the watchdog with it, and reaps the watchdog,
// which until then keeps the group's number from being given to anyone else.
struct GroupEnd {
    pid_t group;
    GroupEnd(const GroupEnd &) = delete;
    GroupEnd &operator=(const GroupEnd &) = delete;
    ~GroupEnd()
    {
        kill(-group, SIGKILL);
        set_child_group(0);
        while (waitpid(group, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
};

// The environment passes through, but for the library search path: an empty
// or relative entry there would have the dynamic linker search the current folder.
std::vector<std::string> child_environment()
{
    std::vector<std::string> out;
    constexpr std::string_view search = "LD_LIBRARY_PATH=";
    for (char **entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text = *entry;
        if (text.substr(0, search.size()) != search) {
            out.emplace_back(text);
            continue;
        }
        std::string kept;
        std::string_view rest = text.substr(search.size());
        for (;;) {
            const auto colon = rest.find(':');
            const std::string_view folder = rest.substr(0, colon);
            if (!folder.empty() && folder.front() == '/')
                kept += std::string(kept.empty() ? "" : ":") + std::string(folder);
            if (colon == std::string_view::npos)
                break;
            rest.remove_prefix(colon + 1);
        }
        if (!kept.empty())
            out.push_back(std::string(search) + kept);
    }
    return out;
}

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

// Leaves the child a zombie, its status kept for the reaping at the end.
bool has_ended(pid_t pid)
{
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
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

// The program, in the watchdog's group, with the handled signals at their defaults; -1 and why on a failure.
pid_t spawn_into_group(const ChildCommand &command, pid_t group, const Pipe &out, const Pipe &err, std::string &error)
{
    SpawnSetup setup;
    posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&setup.actions, out.write.fd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&setup.actions, err.write.fd, STDERR_FILENO);
    sigset_t none;
    sigset_t defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (const int s : handled_signals)
        sigaddset(&defaults, s);
    posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&setup.attr, group);
    posix_spawnattr_setsigmask(&setup.attr, &none);
    posix_spawnattr_setsigdefault(&setup.attr, &defaults);

    std::vector<std::string> arguments = command.argv;
    std::vector<char *> argv;
    argv.reserve(arguments.size() + 1);
    for (std::string &a : arguments)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment = child_environment();
    std::vector<char *> envp;
    envp.reserve(environment.size() + 1);
    for (std::string &entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    // A signal now would kill the group before the program has joined it.
    const BlockedSignals blocked;
    const auto spawn = command.search_path ? posix_spawnp : posix_spawn;
    const int failed = spawn(&pid, command.path.c_str(), &setup.actions, &setup.attr, argv.data(), envp.data());
    if (failed != 0) {
        error = "cannot run " + command.path + ": " + std::strerror(failed);
        return -1;
    }
    return pid;
}

// Gathers the program's output until it ends (true) or until the time comes (false).
bool collect_until(pid_t pid, int pidfd, int out, int err, Clock::time_point until, ChildRun &run)
{
    fcntl(out, F_SETFL, O_NONBLOCK);
    fcntl(err, F_SETFL, O_NONBLOCK);
    std::array<pollfd, 3> fds{pollfd{out, POLLIN, 0}, pollfd{err, POLLIN, 0}, pollfd{pidfd, POLLIN, 0}};
    const std::array<std::string *, 2> sinks{&run.out, &run.err};
    for (;;) {
        if (has_ended(pid))
            return true;
        const int wait = milliseconds_until(until);
        if (wait == 0)
            return false;
        if (poll(fds.data(), fds.size(), poll_ms(pidfd, wait)) < 0 && errno != EINTR)
            return has_ended(pid);
        for (std::size_t i = 0; i < sinks.size(); ++i)
            if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP)) != 0 && !drain(fds[i].fd, *sinks[i]))
                fds[i].fd = -1;
    }
}

// SIGTERM to a program that is still running, then SIGKILL when it will not go;
// what it prints meanwhile is still taken, so a full pipe cannot hold it up.
void end_group(pid_t group, pid_t pid, int pidfd, const Pipe &out, const Pipe &err, Clock::time_point kill_at,
               Clock::time_point gone_by, ChildRun &run)
{
    kill(-group, SIGTERM);
    if (!collect_until(pid, pidfd, out.read.fd, err.read.fd, kill_at, run)) {
        kill(-group, SIGKILL);
        collect_until(pid, pidfd, out.read.fd, err.read.fd, gone_by, run);
    }
}

}  // namespace

Clock::time_point termination_time(Clock::time_point start, Clock::time_point deadline)
{
    // The grace and the kill come out of the limit, not on top of it.
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - start);
    const milliseconds grace = std::clamp(left / 10, shortest_grace, longest_grace);
    return deadline - finish_reserve - kill_wait - grace;
}

ChildRun run_child(const std::string &program, Clock::time_point deadline)
{
    return run_child(ChildCommand{program, {program}, false}, deadline);
}

ChildRun run_child(const ChildCommand &command, Clock::time_point deadline)
{
    ChildRun run;
    Pipe out;
    Pipe err;
    Pipe life;
    if (!out.open() || !err.open() || !life.open()) {
        run.error = std::string("cannot make a pipe: ") + std::strerror(errno);
        return run;
    }
    const pid_t group = start_watchdog(life);
    if (group < 0) {
        run.error = std::string("cannot start a process: ") + std::strerror(errno);
        return run;
    }
    const GroupEnd group_end{group};
    const pid_t pid = spawn_into_group(command, group, out, err, run.error);
    if (pid < 0)
        return run;
    out.write.reset();
    err.write.reset();
    const Fd pidfd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));

    const Clock::time_point gone_by = deadline - finish_reserve;
    const Clock::time_point kill_at = gone_by - kill_wait;

    const bool exited =
        collect_until(pid, pidfd.fd, out.read.fd, err.read.fd, termination_time(Clock::now(), deadline), run);
    if (!exited)
        end_group(group, pid, pidfd.fd, out, err, kill_at, gone_by, run);
    drain(out.read.fd, run.out);
    drain(err.read.fd, run.err);
    int status = 0;
    const bool reaped = waitpid(pid, &status, WNOHANG) == pid;
    if (exited && reaped)
        record_status(run, status);
    else
        run.end = ChildRun::End::timed_out;
    return run;
}

}  // namespace wex_q40
