// Runs a program as a child process with a time limit, collecting its output.
#ifndef WEX_TEST_CHILD_RUN_H
#define WEX_TEST_CHILD_RUN_H

#include <string>
#include <vector>

namespace wex_test {

struct ChildRun {
    std::string out;
    std::string err;
    int status = -1;         // exit status; -1 when ended by a signal
    bool timed_out = false;  // its process group was killed at the time limit
    double seconds = 0;
};

// argv[0] is a path; env is the child's whole environment, NAME=value entries.
// The child reads /dev/null and leads a process group of its own, which is
// killed whole when time_limit_s passes before the child has ended and both
// its output streams have closed. Throws std::system_error when it cannot start.
ChildRun run_child(const std::vector<std::string> &argv, const std::vector<std::string> &env, double time_limit_s);

// This process's environment without the names in unset, then the NAME=value entries of set.
std::vector<std::string> environment_with(const std::vector<std::string> &set, const std::vector<std::string> &unset);

// The null-terminated pointer array execve takes; valid while strings lives unchanged.
std::vector<char *> exec_pointers(std::vector<std::string> &strings);

}  // namespace wex_test

#endif
