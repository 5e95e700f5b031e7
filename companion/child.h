// Runs the reading program in its own process group with a deadline.
#ifndef COMPANION_CHILD_H
#define COMPANION_CHILD_H

#include <chrono>
#include <string>

using Clock = std::chrono::steady_clock;

struct ChildRun {
    enum class End { exited, signalled, timed_out, not_started };
    End end = End::not_started;
    int code = 0;       // exit status, or the signal
    std::string out;    // bounded, see captured_bytes
    std::string err;
    std::string error;  // why it did not start
};

constexpr std::size_t captured_bytes = 65536;

// stdin is /dev/null, the environment passes through. On the deadline the
// group gets SIGTERM, then SIGKILL after a short grace; when the program ends,
// what is left of its group is killed too.
ChildRun run_child(const std::string &program, Clock::time_point deadline);

#endif
