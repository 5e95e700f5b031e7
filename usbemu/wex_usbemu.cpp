// Runs a program against the emulated module: wex_usbemu [OPTIONS] -- PROGRAM [ARGS...].
// The program's output passes through unchanged and its exit status becomes ours.
// SIGTERM, SIGINT and SIGHUP go on to the program; once it has ended the testbed is removed.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>

#include "emulator.h"
#include "tool_options.h"

namespace {

constexpr int usage_status = 2;
constexpr int signal_status_base = 128;
constexpr int exec_failed_status = 127;

// Held back from the moment we start, so that none ends us with the testbed still on disk.
sigset_t handled_signals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGCHLD);
    return set;
}

int exit_status(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : signal_status_base + WTERMSIG(status);
}

int run(char **program)
{
    const sigset_t handled = handled_signals();
    const pid_t child = fork();
    if (child < 0)
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (child == 0) {
        sigprocmask(SIG_UNBLOCK, &handled, nullptr);
        execvp(program[0], program);
        std::fprintf(stderr, "wex_usbemu: cannot run %s: %s\n", program[0], std::strerror(errno));
        _exit(exec_failed_status);
    }
    for (;;) {
        int status = 0;
        const pid_t ended = waitpid(child, &status, WNOHANG);
        if (ended == child)
            return exit_status(status);
        if (ended < 0 && errno != EINTR)
            throw std::runtime_error(std::string("waitpid: ") + std::strerror(errno));
        siginfo_t info;
        const int signal = sigwaitinfo(&handled, &info);
        if (signal != SIGCHLD)
            kill(child, signal);
    }
}

}  // namespace

int main(int argc, char **argv)
{
    const sigset_t handled = handled_signals();
    sigprocmask(SIG_BLOCK, &handled, nullptr);
    usbemu::Config config;
    int program = 0;
    try {
        program = usbemu::parse_tool_options(argc, argv, config);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "wex_usbemu: %s\n%s", e.what(), usbemu::tool_usage);
        return usage_status;
    }
    try {
        usbemu::run_under_preload(argv);
        const usbemu::Emulator emulator(config);
        std::fflush(stdout);
        return run(argv + program);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return usage_status;
    }
}
