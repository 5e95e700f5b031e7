// Runs a program as a child process with a bounded time, collecting its output.
#ifndef USBEMU_TESTS_CHILD_H
#define USBEMU_TESTS_CHILD_H

#include <string>
#include <vector>

struct ChildRun {
    std::string out;
    std::string err;
    int status = -1;         // exit status; -1 when killed or not started
    bool timed_out = false;  // killed at the time limit
    double seconds = 0;
};

// argv[0] is a path. The child gets this process's environment with the
// names in unset removed and the NAME=value entries of set added.
ChildRun run_child(const std::vector<std::string> &argv, const std::vector<std::string> &set,
                   const std::vector<std::string> &unset, double time_limit_s);

#endif
