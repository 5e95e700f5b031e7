// Starting a program in a process group of its own, led by a watchdog.
#ifndef WEX_Q40_PROCESS_GROUP_H
#define WEX_Q40_PROCESS_GROUP_H

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <string>

#include "child.h"
#include "fd.h"
#include "signals.h"

namespace wex_q40 {

struct Pipe {
    wex_common::Fd read;
    wex_common::Fd write;
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

// The watchdog that leads the group, or -1; it ends the group when life's write end closes.
pid_t start_watchdog(Pipe &life);

// The program, in the watchdog's group, with the handled signals at their defaults; -1 and why on a failure.
pid_t spawn_into_group(const ChildCommand &command, pid_t group, const Pipe &out, const Pipe &err, std::string &error);

}  // namespace wex_q40

#endif
