#include "signals.h"

#include <unistd.h>

#include <array>
#include <cstring>

namespace wex_q40 {

namespace {

volatile sig_atomic_t child_group = 0;
volatile sig_atomic_t file_set = 0;
std::array<char, 4096> file_to_remove{};

void on_signal(int signal_number)
{
    if (child_group > 0)
        kill(-child_group, SIGKILL);
    if (file_set != 0)
        unlink(file_to_remove.data());
    // SA_RESETHAND restored the default action and SA_NODEFER lets it through now.
    raise(signal_number);
}

}  // namespace

void install_signal_handlers()
{
    struct sigaction action {};
    action.sa_handler = on_signal;
    action.sa_flags = SA_RESETHAND | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    sigset_t ours;
    sigemptyset(&ours);
    for (const int s : handled_signals) {
        struct sigaction inherited {};
        if (sigaction(s, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN)
            continue;
        sigaction(s, &action, nullptr);
        sigaddset(&ours, s);
    }
    sigprocmask(SIG_UNBLOCK, &ours, nullptr);
    // Inherited SIG_IGN would have the kernel reap the reading program and lose its status.
    signal(SIGCHLD, SIG_DFL);
}

void set_child_group(pid_t group)
{
    child_group = group;
}

void set_file_to_remove(const char *path)
{
    file_set = 0;
    const std::size_t length = path != nullptr ? std::strlen(path) : 0;
    if (length > 0 && length < file_to_remove.size()) {
        std::memcpy(file_to_remove.data(), path, length + 1);
        file_set = 1;
    }
}

}  // namespace wex_q40
