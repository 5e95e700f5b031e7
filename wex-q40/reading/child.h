// Runs the reading program in its own process group with a deadline.
#ifndef WEX_Q40_CHILD_H
#define WEX_Q40_CHILD_H

#include <string>
#include <vector>

#include "budget.h"

namespace wex_q40 {

struct ChildRun {
    enum class End { exited, signalled, timed_out, not_started };
    End end = End::not_started;
    int code = 0;       // exit status, or the signal
    std::string out;    // bounded, see captured_bytes
    std::string err;
    std::string error;  // why it did not start
};

constexpr std::size_t captured_bytes = 65536;

// stdin is /dev/null, the environment passes through but for empty and
// relative entries of LD_LIBRARY_PATH. The program runs in a process group of
// its own that ends with the run or with wex-q40, however that ends. Before
// the deadline the group gets SIGTERM, then SIGKILL, so the run ends within it.
// When a program started at start is sent SIGTERM if it is still running.
Clock::time_point termination_time(Clock::time_point start, Clock::time_point deadline);

ChildRun run_child(const std::string &program, Clock::time_point deadline);

struct ChildCommand {
    std::string path;
    std::vector<std::string> argv;  // argv[0] included
    bool search_path = false;       // a path without a slash is looked up in PATH
};

// The same for any command.
ChildRun run_child(const ChildCommand &command, Clock::time_point deadline);

}  // namespace wex_q40

#endif
