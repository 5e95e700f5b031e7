#include "run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace {

struct Pipe {
    int fd[2] = {-1, -1};
    Pipe()
    {
        if (pipe2(fd, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe2 failed");
    }
    ~Pipe()
    {
        for (int f : fd)
            if (f >= 0)
                close(f);
    }
    Pipe(const Pipe &) = delete;
    Pipe &operator=(const Pipe &) = delete;
    void close_end(int i)
    {
        close(fd[i]);
        fd[i] = -1;
    }
};

struct TempFile {
    std::string path;
    TempFile()
    {
        char name[] = "/tmp/wex-report-XXXXXX";
        const int fd = mkstemp(name);
        if (fd < 0)
            throw std::runtime_error("mkstemp failed");
        close(fd);
        path = name;
    }
    ~TempFile() { unlink(path.c_str()); }
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
};

std::vector<std::string> child_environment(const std::vector<std::string> &extra, const std::string &library_dir,
                                           const std::string &report)
{
    std::vector<std::string> env = {"PATH=/usr/bin:/bin", "VWEX_REPORT=" + report};
    for (const char *keep : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
        if (const char *value = std::getenv(keep))
            env.push_back(std::string(keep) + "=" + value);
    if (!library_dir.empty())
        env.push_back("LD_LIBRARY_PATH=" + library_dir);
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::vector<char *> pointers(std::vector<std::string> &strings)
{
    std::vector<char *> out;
    out.reserve(strings.size() + 1);
    for (auto &s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

std::map<std::string, unsigned> read_report(const std::string &path)
{
    std::map<std::string, unsigned> report;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const auto eq = line.find('=');
        if (eq != std::string::npos)
            report[line.substr(0, eq)] = static_cast<unsigned>(std::stoul(line.substr(eq + 1)));
    }
    return report;
}

}  // namespace

Outcome run_program(const std::string &program, const std::vector<std::string> &args,
                const std::vector<std::string> &env, const std::string &library_dir, double time_limit_s)
{
    TempFile report;
    std::vector<std::string> argv_strings = {program};
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());
    std::vector<std::string> env_strings = child_environment(env, library_dir, report.path);
    auto argv = pointers(argv_strings);
    auto envp = pointers(env_strings);

    Pipe out, err;
    const auto started = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(out.fd[1], STDOUT_FILENO);
        dup2(err.fd[1], STDERR_FILENO);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    out.close_end(1);
    err.close_end(1);

    Outcome run;
    const auto deadline = started + std::chrono::duration<double>(time_limit_s);
    pollfd fds[2] = {{out.fd[0], POLLIN, 0}, {err.fd[0], POLLIN, 0}};
    std::string *sinks[2] = {&run.out, &run.err};
    int open_streams = 2;
    while (open_streams > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            run.timed_out = true;
            break;
        }
        if (poll(fds, 2, static_cast<int>(left.count())) < 0)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP)))
                continue;
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            } else {
                fds[i].fd = -1;
                --open_streams;
            }
        }
    }
    int wait_status = 0;
    waitpid(pid, &wait_status, 0);
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (!run.timed_out && WIFEXITED(wait_status))
        run.status = WEXITSTATUS(wait_status);
    run.report = read_report(report.path);
    return run;
}
