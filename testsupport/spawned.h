// A child process a test can signal while it runs; killed and reaped if the
// test ends first.
#ifndef WEX_TEST_SPAWNED_H
#define WEX_TEST_SPAWNED_H

#include <sys/types.h>

#include <string>
#include <vector>

class Spawned {
public:
    // argv[0] is a path; the child gets this process's environment without the names in unset.
    Spawned(const std::vector<std::string> &argv, const std::vector<std::string> &unset);
    ~Spawned();
    Spawned(const Spawned &) = delete;
    Spawned &operator=(const Spawned &) = delete;

    pid_t pid() const { return pid_; }
    // The next line of its standard output, without the newline; "" at the time limit or end of output.
    std::string read_line(double time_limit_s);
    // Its exit status, 128 + the signal when one ended it, -1 at the time limit.
    int wait(double time_limit_s);

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string pending_;
};

#endif
