#include "spawned.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "child_run.h"

namespace {

constexpr int exec_failed_status = 127;
constexpr int signal_status_base = 128;

using Clock = std::chrono::steady_clock;

Clock::time_point after(double seconds)
{
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace

Spawned::Spawned(const std::vector<std::string> &argv, const std::vector<std::string> &unset)
{
    std::vector<std::string> env = wex_test::environment_with({}, unset);
    std::vector<std::string> args = argv;
    const std::vector<char *> arg_p = wex_test::exec_pointers(args);
    const std::vector<char *> env_p = wex_test::exec_pointers(env);

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2 failed");
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], STDOUT_FILENO);
        // Signals the test sends must reach the child with their default action.
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        execve(arg_p[0], arg_p.data(), env_p.data());
        _exit(exec_failed_status);
    }
    close(out[1]);
    out_ = out[0];
    if (pid_ < 0) {
        close(out_);
        throw std::runtime_error("fork failed");
    }
}

Spawned::~Spawned()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    close(out_);
}

std::string Spawned::read_line(double time_limit_s)
{
    const auto deadline = after(time_limit_s);
    for (;;) {
        const std::size_t newline = pending_.find('\n');
        if (newline != std::string::npos) {
            std::string line = pending_.substr(0, newline);
            pending_.erase(0, newline + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd fd{out_, POLLIN, 0};
        if (left <= 0 || poll(&fd, 1, static_cast<int>(left)) <= 0)
            return "";
        char chunk[256];
        const ssize_t n = read(out_, chunk, sizeof chunk);
        if (n <= 0)
            return "";
        pending_.append(chunk, static_cast<std::size_t>(n));
    }
}

int Spawned::wait(double time_limit_s)
{
    const auto deadline = after(time_limit_s);
    while (Clock::now() < deadline) {
        int status = 0;
        const pid_t ended = waitpid(pid_, &status, WNOHANG);
        if (ended == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : signal_status_base + WTERMSIG(status);
        }
        if (ended < 0 && errno != EINTR)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return -1;
}
