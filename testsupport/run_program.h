// Runs the real program as a child process against the virtual module.
#ifndef TESTS_RUN_PROGRAM_H
#define TESTS_RUN_PROGRAM_H

#include <map>
#include <string>
#include <vector>

#include "child_run.h"

struct Outcome : wex_test::ChildRun {
    std::map<std::string, unsigned> report;  // the virtual module's counters at unload
};

// env: NAME=value entries added to a minimal environment; library_dir goes
// into LD_LIBRARY_PATH (empty: none).
Outcome run_program(const std::string &program, const std::vector<std::string> &args,
                    const std::vector<std::string> &env, const std::string &library_dir, double time_limit_s);

#endif
