#include "child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

constexpr int exec_failed_status = 127;

std::vector<std::string> child_environment(const std::vector<std::string> &set, const std::vector<std::string> &unset)
{
    std::vector<std::string> env;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('='));
        bool keep = true;
        for (const std::string &gone : unset)
            keep = keep && gone != name;
        for (const std::string &added : set)
            keep = keep && added.substr(0, added.find('=')) != name;
        if (keep)
            env.push_back(text);
    }
    env.insert(env.end(), set.begin(), set.end());
    return env;
}

std::vector<char *> pointers(std::vector<std::string> &strings)
{
    std::vector<char *> p;
    p.reserve(strings.size() + 1);
    for (std::string &s : strings)
        p.push_back(s.data());
    p.push_back(nullptr);
    return p;
}

}  // namespace

ChildRun run_child(const std::vector<std::string> &argv, const std::vector<std::string> &set,
                   const std::vector<std::string> &unset, double time_limit_s)
{
    ChildRun run;
    std::vector<std::string> args = argv;
    std::vector<std::string> env = child_environment(set, unset);
    std::vector<char *> arg_p = pointers(args);
    std::vector<char *> env_p = pointers(env);

    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return run;
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return run;
    }
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        execve(arg_p[0], arg_p.data(), env_p.data());
        _exit(exec_failed_status);
    }
    close(out[1]);
    close(err[1]);
    if (pid < 0) {
        close(out[0]);
        close(err[0]);
        return run;
    }

    const auto deadline = start + std::chrono::duration<double>(time_limit_s);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string *sinks[2] = {&run.out, &run.err};
    int open_pipes = 2;
    while (open_pipes > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            run.timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char chunk[4096];
            const ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
            if (n > 0) {
                sinks[i]->append(chunk, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_pipes;
            }
        }
    }
    for (pollfd &fd : fds)
        if (fd.fd >= 0)
            close(fd.fd);

    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (WIFEXITED(status) && !run.timed_out)
        run.status = WEXITSTATUS(status);
    return run;
}
