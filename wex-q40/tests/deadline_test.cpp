#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
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
    const Outcome run = run_companion(dir, "json", {"-t", "2", "-b", stubborn});
    // The executable's own start and end lie outside the command's clock: a millisecond, or a sanitizer's many.
    const Outcome bare = run_companion(dir, "json", {"-V"});
    EXPECT_EQ(run.status, 1);
    EXPECT_LT(run.seconds, 2.0 + bare.seconds) << "the limit is a hard bound, SIGTERM's grace and SIGKILL included";
    EXPECT_GT(run.seconds, 1.7);
    // The time the program had: the limit less the little spent before it started.
    const std::string said = "stubborn gave no answer within ";
    const auto at = run.out.find(said);
    ASSERT_NE(at, std::string::npos) << run.out;
    const double had = std::stod(run.out.substr(at + said.size()));
    EXPECT_GE(had, 1.8) << run.out;
    EXPECT_LE(had, 2.0) << run.out;
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

class Ended : public ::testing::TestWithParam<int> {};

// However wex-q40 ends, the reading program and what it started end with it.
TEST_P(Ended, NothingOutlivesWexQ40)
{
    const int signal = GetParam();
    const TempDir dir;
    const std::string sleeper =
        write_script(dir, "sleeper", "sleep 30 &\necho $! $$ >" + dir / "pids" + "\nwait\n");
    const std::string lock = dir / "lock";
    Spawned companion({WEX_Q40, "json", "-l", lock, "-b", sleeper}, {});
    for (int i = 0; i < 100 && pids_in(dir / "pids").size() < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto pids = pids_in(dir / "pids");
    ASSERT_EQ(pids.size(), 2u);
    kill(companion.pid(), signal);
    EXPECT_EQ(companion.wait(10.0), 128 + signal);
    for (const pid_t p : pids) {
        for (int i = 0; i < 50 && !has_ended(p); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_TRUE(has_ended(p)) << p << " outlived wex-q40 ended by " << sigabbrev_np(signal);
    }
}

INSTANTIATE_TEST_SUITE_P(BySignal, Ended,
                         ::testing::Values(SIGKILL, SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGALRM, SIGPIPE),
                         [](const ::testing::TestParamInfo<int> &p) { return std::string(sigabbrev_np(p.param)); });

// An empty or relative entry would have the dynamic linker search the current folder.
TEST(Environment, TheProgramsLibrarySearchPathKeepsOnlyAbsoluteFolders)
{
    const TempDir dir;
    const std::string shows = write_script(dir, "shows", "echo \"${LD_LIBRARY_PATH-unset}\" >" + dir / "seen\n" +
                                                             good_lines);
    struct Case {
        const char *given;
        const char *seen;
    };
    const Case cases[] = {
        {"/opt/none:", "/opt/none"}, {":/opt/none", "/opt/none"}, {"/a::/b", "/a:/b"},
        {".:lib:/a", "/a"},          {"", "unset"},               {":", "unset"},
        {"/a:/b", "/a:/b"},
    };
    for (const auto &c : cases) {
        const Outcome run = run_program(WEX_Q40, {"json", "-l", dir / "lock", "-b", shows, "--max-age", "0"},
                                        {std::string("LD_LIBRARY_PATH=") + c.given}, "", 10);
        EXPECT_EQ(run.status, 0) << run.out << run.err;
        EXPECT_EQ(read_file(dir / "seen"), std::string(c.seen) + "\n") << '"' << c.given << '"';
    }
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
    EXPECT_EQ(run.err, "wex-q40 influx: the humidity reading failed\n"
                       "wex-q40 influx: a checksum mismatch or a sensor that did not answer: noise on the cable or "
                       "a failing sensor\n"
                       "wex-q40 influx: wex_read_hum failed!\n"
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

// Nothing but a plain file may stand at the lock path: whatever else a
// neighbour puts there is refused at once, never waited on or followed.
TEST(Lock, APathThatIsNotARegularFileIsRefusedAtOnce)
{
    const TempDir dir;
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
    ASSERT_EQ(mkdir((dir / "folder").c_str(), 0755), 0);
    write_file(dir / "plain", "");
    ASSERT_EQ(symlink((dir / "plain").c_str(), (dir / "link").c_str()), 0);
    struct Socket {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        Socket() = default;
        Socket(const Socket &) = delete;
        Socket &operator=(const Socket &) = delete;
        ~Socket() { close(fd); }
    } listener;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socket_path = dir / "socket";
    ASSERT_LT(socket_path.size(), sizeof address.sun_path);
    std::memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
    ASSERT_EQ(bind(listener.fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    for (const std::string &path : {dir / "fifo", dir / "folder", dir / "link", socket_path, std::string("/dev/null")}) {
        const Outcome run = run_companion(dir, "json", {"-t", "5", "-l", path});
        EXPECT_EQ(run.status, 1) << path;
        EXPECT_NE(run.out.find("lock file " + path + " is not a regular file"), std::string::npos) << run.out;
        EXPECT_LT(run.seconds, 1.0) << path;
    }
    const Outcome run = run_companion(dir, "json", {"-l", dir / "plain"});
    EXPECT_EQ(run.status, 0) << run.out;
}

}  // namespace
