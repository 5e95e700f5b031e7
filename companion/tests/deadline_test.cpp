#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "companion_support.h"
#include "spawned.h"

namespace {

const char good_lines[] = "printf 'Temperature: 22.4C, 72.3F\\nHumidity: 41.5%%\\nDewpoint: 8.7C, 47.6F\\n'\n";

// Not there or a zombie.
bool has_ended(pid_t pid)
{
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const auto paren = stat.rfind(')');
    return paren == std::string::npos || stat.compare(paren + 2, 1, "Z") == 0;
}

std::vector<pid_t> pids_in(const std::string &path)
{
    std::vector<pid_t> pids;
    std::istringstream in(read_file(path));
    for (pid_t pid = 0; in >> pid;)
        pids.push_back(pid);
    return pids;
}

TEST(Deadline, AChildIgnoringSigtermIsKilledWithinTheLimit)
{
    const TempDir dir;
    const std::string stubborn =
        write_script(dir, "stubborn", "trap '' TERM\necho $$ >" + dir / "pids" + "\nwhile :; do sleep 1; done\n");
    const Outcome run = run_companion(dir, "json", {"-t", "1", "-b", stubborn});
    EXPECT_EQ(run.status, 1);
    EXPECT_LT(run.seconds, 2.0);
    EXPECT_GT(run.seconds, 1.0);
    EXPECT_NE(run.out.find("stubborn gave no answer within 1 s"), std::string::npos) << run.out;
    for (const pid_t pid : pids_in(dir / "pids"))
        EXPECT_TRUE(has_ended(pid)) << pid;
}

TEST(Deadline, AGrandchildHoldingThePipeNeitherDelaysNorOutlivesTheReading)
{
    const TempDir dir;
    const std::string leaves = write_script(dir, "leaves", "sleep 30 &\necho $! >" + dir / "pids" + "\n" + good_lines);
    const Outcome run = run_companion(dir, "influx", {"-t", "5", "-b", leaves});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_LT(run.seconds, 1.0);
    const auto pids = pids_in(dir / "pids");
    ASSERT_EQ(pids.size(), 1u);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(has_ended(pids[0]));
}

TEST(Deadline, SigtermToWexQ40KillsTheReadingFirst)
{
    const TempDir dir;
    const std::string sleeper =
        write_script(dir, "sleeper", "sleep 30 &\necho $! $$ >" + dir / "pids" + "\nwait\n");
    const std::string lock = dir / "lock";
    Spawned companion({WEX_Q40, "json", "-l", lock, "-b", sleeper}, {});
    for (int i = 0; i < 100 && pids_in(dir / "pids").size() < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    kill(companion.pid(), SIGTERM);
    EXPECT_EQ(companion.wait(10.0), 128 + SIGTERM);
    const auto pids = pids_in(dir / "pids");
    ASSERT_EQ(pids.size(), 2u);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (const pid_t p : pids)
        EXPECT_TRUE(has_ended(p)) << p;
}

TEST(Retry, OneFailedReadingIsRetriedOnce)
{
    const TempDir dir;
    const std::string flaky = write_script(dir, "flaky",
                                           "if [ ! -e " + dir / "failed" + " ]; then\n touch " + dir / "failed" +
                                               "\n echo 'wex_read_temp: Bad CRC. Temp reading failed.'\n exit 255\nfi\n" +
                                               good_lines);
    Outcome run = run_companion(dir, "influx", {"-b", flaky});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_GT(run.seconds, 0.4);
    unlink((dir / "failed").c_str());
    run = run_companion(dir, "influx", {"-b", flaky, "-r", "0"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("Bad CRC"), std::string::npos);
    EXPECT_EQ(run.err.find("retry"), std::string::npos);
    const std::string broken = write_script(dir, "broken", "echo 'wex_read_hum failed!'\nexit 255\n");
    run = run_companion(dir, "influx", {"-b", broken, "-r", "1"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "wex-q40 influx: wex_read_hum failed!\n"
                       "wex-q40 influx: broken ended with status 255\n"
                       "wex-q40 influx: retry 1 of 1:\n"
                       "wex-q40 influx: wex_read_hum failed!\n"
                       "wex-q40 influx: broken ended with status 255\n");
}

TEST(Lock, ReadersWaitForEachOtherWithinTheLimit)
{
    const TempDir dir;
    const int fd = open((dir / "lock").c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    std::thread release([fd] {
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        close(fd);
    });
    Outcome run = run_companion(dir, "json", {"-t", "3"});
    release.join();
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_GT(run.seconds, 0.6);

    const int held = open((dir / "lock").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    run = run_companion(dir, "check", {"-t", "1"});
    close(held);
    EXPECT_EQ(run.status, 3);
    EXPECT_LT(run.seconds, 2.0);
    EXPECT_NE(run.out.find("held"), std::string::npos) << run.out;
}

}  // namespace
