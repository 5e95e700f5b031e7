// A report that never reached standard output is a failed reading, whatever the module said.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "run_program.h"

namespace {

struct Case {
    const char *name;
    const char *shell;  // runs the program as "$0" with its standard output redirected
    std::vector<std::string> env;
    std::string err;
};

const Case cases[] = {
    {"full_disk", "exec \"$0\" >/dev/full", {}, "No space left on device"},
    {"closed_output", "exec \"$0\" >&-", {}, "Bad file descriptor"},
    // As under systemd: SIGPIPE ignored, so the write fails instead of killing the program.
    {"closed_pipe", "trap '' PIPE; { sleep 0.2; exec \"$0\"; } | true; exit ${PIPESTATUS[0]}", {}, "Broken pipe"},
    {"failed_reading_lost_too", "exec \"$0\" >/dev/full", {"VWEX_ABSENT=1"}, "No space left on device"},
};

void PrintTo(const Case &c, std::ostream *os)
{
    *os << c.name;
}

class LostOutput : public ::testing::TestWithParam<Case> {};

TEST_P(LostOutput, EndsWith255AndSaysSoOnStandardErrorAfterClosingTheModule)
{
    const Case &c = GetParam();
    const Outcome run = run_program("/bin/bash", {"-c", c.shell, WEX_PROGRAM}, c.env, WEX_VMODULE_DIR, 10.0);
    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "wex_q40_test: cannot write to standard output: " + c.err + "\n");
    ASSERT_TRUE(run.report.count("open_handles")) << "the virtual module wrote no report";
    EXPECT_EQ(run.report.at("open_handles"), 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, LostOutput, ::testing::ValuesIn(cases),
                         [](const testing::TestParamInfo<Case> &param) { return std::string(param.param.name); });

}  // namespace
