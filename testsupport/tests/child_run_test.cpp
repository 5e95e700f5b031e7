#include <gtest/gtest.h>

#include <signal.h>
#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_run.h"

using wex_test::ChildRun;
using wex_test::run_child;

namespace {

ChildRun shell(const std::string &script, double time_limit_s = 10.0)
{
    return run_child({"/bin/sh", "-c", script}, {"PATH=/usr/bin:/bin"}, time_limit_s);
}

// Whether the process is gone or only a zombie waiting for its new parent.
bool ended(const std::string &pid)
{
    std::ifstream stat("/proc/" + pid + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return true;
    const auto state = line.find(") ");
    return state != std::string::npos && line[state + 2] == 'Z';
}

TEST(ChildRun, KeepsBothStreamsApartAndTheExitStatus)
{
    const ChildRun run = shell("head -c 100000 /dev/zero >&2; echo out; exit 3");
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.out, "out\n");
    EXPECT_EQ(run.err.size(), 100000u) << "stderr must be read while stdout waits";
}

TEST(ChildRun, EndsBySignalExecFailureAndInputAreTold)
{
    const ChildRun killed = shell("kill -KILL $$");
    EXPECT_FALSE(killed.timed_out);
    EXPECT_EQ(killed.status, -1);
    EXPECT_EQ(run_child({"/nonexistent/program"}, {}, 10.0).status, 127);
    const ChildRun reads = run_child({"/bin/cat"}, {}, 10.0);
    EXPECT_EQ(reads.status, 0) << "the child's input is /dev/null, not ours";
    EXPECT_EQ(reads.out, "");
}

void ignore_signal(int) {}

TEST(ChildRun, SignalsToTheTestDoNotCutTheRunShort)
{
    struct sigaction action{};
    action.sa_handler = ignore_signal;  // no SA_RESTART: poll and read see EINTR
    struct sigaction previous{};
    ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
    itimerval every_5ms{{0, 5000}, {0, 5000}};
    ASSERT_EQ(setitimer(ITIMER_REAL, &every_5ms, nullptr), 0);
    const ChildRun run = shell("echo begun; sleep 0.3; echo done >&2; exit 4");
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous, nullptr);

    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.out, "begun\n");
    EXPECT_EQ(run.err, "done\n");
    EXPECT_EQ(run.status, 4);
    EXPECT_GE(run.seconds, 0.3);
}

TEST(ChildRun, TimeLimitKillsTheWholeProcessGroup)
{
    const ChildRun run = shell("sleep 30 & echo $!; wait", 0.5);
    EXPECT_TRUE(run.timed_out);
    EXPECT_EQ(run.status, -1);
    EXPECT_GE(run.seconds, 0.5);
    EXPECT_LT(run.seconds, 5.0);
    const std::string grandchild = run.out.substr(0, run.out.find('\n'));
    ASSERT_FALSE(grandchild.empty());
    bool gone = ended(grandchild);
    for (int i = 0; i < 100 && !gone; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        gone = ended(grandchild);
    }
    EXPECT_TRUE(gone) << "the background sleep outlived the time limit";
}

TEST(ChildRun, TimeLimitHoldsForAChildThatClosedItsOutput)
{
    const ChildRun run = shell("exec >/dev/null 2>&1; sleep 30", 0.5);
    EXPECT_TRUE(run.timed_out);
    EXPECT_LT(run.seconds, 5.0);
}

TEST(ChildRun, EnvironmentIsExactlyTheOneGiven)
{
    EXPECT_EQ(run_child({"/usr/bin/env"}, {"ONLY=1"}, 10.0).out, "ONLY=1\n");

    setenv("WEX_TEST_KEPT", "1", 1);
    setenv("WEX_TEST_GONE", "1", 1);
    setenv("WEX_TEST_CHANGED", "old", 1);
    const ChildRun run = run_child(
        {"/usr/bin/env"}, wex_test::environment_with({"WEX_TEST_CHANGED=new", "WEX_TEST_ADDED=2"}, {"WEX_TEST_GONE"}),
        10.0);
    for (const char *name : {"WEX_TEST_KEPT", "WEX_TEST_GONE", "WEX_TEST_CHANGED"})
        unsetenv(name);

    std::vector<std::string> ours;
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("WEX_TEST_", 0) == 0)
            ours.push_back(line);
    std::sort(ours.begin(), ours.end());
    EXPECT_EQ(ours, (std::vector<std::string>{"WEX_TEST_ADDED=2", "WEX_TEST_CHANGED=new", "WEX_TEST_KEPT=1"}));
    EXPECT_NE(run.out.find("PATH="), std::string::npos) << "the rest of the environment is passed on";
}

}  // namespace
