#include "child.h"

#include <poll.h>
#include <sys/syscall.h>

#include <algorithm>
#include <cstring>

#include "process_group.h"

namespace wex_q40 {

namespace {

using std::chrono::milliseconds;

constexpr milliseconds shortest_grace{50};
constexpr milliseconds longest_grace{500};
constexpr milliseconds kill_wait{50};
// Reaping and printing after the program has gone.
constexpr milliseconds finish_reserve{50};
constexpr milliseconds poll_fallback{10};

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
    const wex_common::Fd pidfd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));

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
