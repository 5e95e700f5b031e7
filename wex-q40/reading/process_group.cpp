#include "process_group.h"

#include <spawn.h>

#include <cstring>
#include <string_view>
#include <vector>

namespace wex_q40 {

namespace {

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

}  // namespace

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

}  // namespace wex_q40
