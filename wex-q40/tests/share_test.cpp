#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

#include "companion_support.h"
#include "fd.h"

namespace {

// The real program against the virtual module, counting its runs.
struct Counted {
    TempDir dir;
    std::string program = write_script(dir, "counted", "echo >>" + dir / "runs" + "\nexec " WEX_PROGRAM "\n");
    std::string shared = dir / "lock.reading";
    std::size_t runs() const { return read_file(dir / "runs").size(); }
    Outcome run(const std::string &subcommand, std::vector<std::string> args, const std::string &max_age = "10")
    {
        args.insert(args.begin(), {"-b", program, "--max-age", max_age});
        return run_companion(dir, subcommand, args);
    }
};

bool has(const std::string &text, const std::string &piece)
{
    return text.find(piece) != std::string::npos;
}

void hold_lock_for(const std::string &lock, std::chrono::milliseconds time)
{
    const wex_common::Fd file(open(lock.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644));
    ASSERT_EQ(flock(file.fd, LOCK_EX), 0);
    std::this_thread::sleep_for(time);
}

struct QueueCase {
    const char *name;
    std::function<void(Counted &)> check;
};

const QueueCase queue_cases[] = {
    {"a holder that leaves too little time: no reading is started, and the wait is named",
     [](Counted &c) {
         std::thread holder(hold_lock_for, c.dir / "lock", std::chrono::milliseconds(2750));
         std::this_thread::sleep_for(std::chrono::milliseconds(50));
         const Outcome run = c.run("check", {"-t", "3", "-v"});
         holder.join();
         EXPECT_EQ(run.status, 3);
         // The holder's 2.75 s less the pause above and the command's own start, which a sanitizer lengthens.
         const std::string said = "WEX-Q40 UNKNOWN - the module was busy with other readers for ";
         ASSERT_TRUE(has(run.out, said)) << run.out;
         const double waited = std::strtod(run.out.c_str() + run.out.find(said) + said.size(), nullptr);
         EXPECT_GE(waited, 2.4) << run.out;
         EXPECT_LE(waited, 2.8) << run.out;
         EXPECT_TRUE(has(run.out, "no reading started")) << run.out;
         EXPECT_LT(run.seconds, 3.0);
         EXPECT_EQ(c.runs(), 0u);
     }},
    {"a retry too late is not started: the first failure stands",
     [](Counted &c) {
         const std::string slow = write_script(c.dir, "slow", "echo >>" + c.dir / "runs" +
                                                                  "\nsleep 1.3\necho 'wex_read_hum failed!'\nexit 255\n");
         const Outcome run = c.run("json", {"-t", "3", "-b", slow});
         EXPECT_EQ(run.status, 1);
         EXPECT_TRUE(has(run.out, "\"error\":\"the humidity reading failed\"")) << run.out;
         EXPECT_TRUE(has(run.out, "no retry: too little time left for a reading (1.6 s)")) << run.out;
         EXPECT_EQ(c.runs(), 1u);
     }},
    {"twenty readers at once cost one reading, and all show its time",
     [](Counted &c) {
         const std::string twenty = write_script(
             c.dir, "twenty",
             "for i in 0 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19; do\n " WEX_Q40 " json -t 3 --max-age 10 -l " +
                 c.dir / "lock" + " -b " + c.program + " >" + c.dir / "out." + "$i &\ndone\nwait\n");
         const Outcome run = run_program(twenty, {}, {}, WEX_VMODULE_DIR, 20);
         EXPECT_EQ(run.status, 0);
         EXPECT_EQ(c.runs(), 1u);
         const std::string first = read_file(c.dir / "out.0");
         EXPECT_TRUE(has(first, "\"temperature\":30.0")) << first;
         for (int i = 1; i < 20; ++i)
             EXPECT_EQ(read_file(c.dir / ("out." + std::to_string(i))), first) << i;
     }},
    {"a failed reading left beside the lock is not taken by json: the next reader reads the module",
     [](Counted &c) {
         c.program = write_script(c.dir, "once", "echo >>" + c.dir / "runs" + "\n[ -e " + c.dir / "failed" +
                                                     " ] || { touch " + c.dir / "failed" +
                                                     "; echo 'wex_read_hum failed!'; exit 255; }\nexec " WEX_PROGRAM "\n");
         const Outcome failed = c.run("json", {"-r", "0"}, "10");
         const Outcome ok = c.run("json", {}, "10");
         EXPECT_EQ(ok.status, 0) << ok.out;
         EXPECT_EQ(c.runs(), 2u);
         EXPECT_EQ(failed.status, 1);
     }},
    {"--max-age 0 reads the module every time and leaves nothing",
     [](Counted &c) {
         EXPECT_EQ(c.run("json", {}, "0").status, 0);
         EXPECT_EQ(c.run("json", {}, "0").status, 0);
         EXPECT_EQ(c.runs(), 2u);
         EXPECT_NE(access(c.shared.c_str(), F_OK), 0);
     }},
    {"a shared reading others could have written is not taken",
     [](Counted &c) {
         EXPECT_EQ(c.run("json", {}).status, 0);
         ASSERT_EQ(chmod(c.shared.c_str(), 0664), 0);
         EXPECT_EQ(c.run("json", {}).status, 0);
         EXPECT_EQ(c.runs(), 2u);
     }},
    {"a shared reading edited to a temperature its humidity and dew point cannot go with is not taken",
     [](Counted &c) {
         EXPECT_EQ(c.run("json", {}).status, 0);
         std::string content = read_file(c.shared);
         const std::string good = "Temperature: 30.0C, 86.0F";
         ASSERT_NE(content.find(good), std::string::npos) << content;
         content.replace(content.find(good), good.size(), "Temperature: 99.0C, 210.2F");
         write_file(c.shared, content);
         ASSERT_EQ(chmod(c.shared.c_str(), 0644), 0);
         const Outcome again = c.run("json", {});
         EXPECT_TRUE(has(again.out, "\"temperature\":30.0")) << again.out;
         EXPECT_EQ(c.runs(), 2u);
     }},
    {"a shared reading shows the time it was taken and its age",
     [](Counted &c) {
         const auto start = std::chrono::steady_clock::now();
         const Outcome first = c.run("json", {});
         std::this_thread::sleep_for(std::chrono::milliseconds(1100));
         const Outcome again = c.run("json", {});
         EXPECT_EQ(again.out, first.out) << "the same time, not the time of the second reader";
         const Outcome check = c.run("check", {"-v"});
         const double most = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
         // The age lies between the pause and all the test took, however slow a loaded machine starts programs.
         const std::string said = "reading taken ";
         const auto at = check.out.find(said);
         ASSERT_NE(at, std::string::npos) << check.out;
         const double age = std::strtod(check.out.c_str() + at + said.size(), nullptr);
         EXPECT_GE(age, 1.1 - 0.05) << check.out;
         EXPECT_LE(age, most + 0.05) << check.out;
         EXPECT_TRUE(has(check.out, " s before, by another reader")) << check.out;
         EXPECT_EQ(c.runs(), 1u);
     }},
};

TEST(Share, LockQueueAndSharedReading)
{
    for (const QueueCase &q : queue_cases) {
        SCOPED_TRACE(q.name);
        Counted c;
        q.check(c);
    }
}

// Only as root: a shared reading of another user is refused, however it looks.
TEST(Share, AnotherUsersReadingIsNotTaken)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give the file to another user";
    Counted c;
    EXPECT_EQ(c.run("json", {}).status, 0);
    ASSERT_EQ(chown(c.shared.c_str(), 65534, 65534), 0);
    EXPECT_EQ(c.run("json", {}).status, 0);
    EXPECT_EQ(c.runs(), 2u);
}

TEST(LockFolder, OnlyAFolderNoOtherUserCanWriteIsUsed)
{
    struct Case {
        const char *name;
        mode_t mode;
        bool linked;
        bool foreign;
        const char *refusal;  // nullptr: accepted
    };
    const Case cases[] = {
        {"mkdtemp's", 0700, false, false, nullptr},
        {"as the package makes it", 03770, false, false, nullptr},
        {"world-writable", 0777, false, false, "is writable by every user"},
        {"world-writable and sticky", 01777, false, false, "is writable by every user"},
        {"group-writable, not sticky", 0770, false, false, "is writable by its group without the sticky bit"},
        {"a link to a folder", 0700, true, false, "is a symbolic link"},
        {"another user's", 0700, false, true, "belongs to user 65534, neither root nor this user"},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        if (k.foreign && geteuid() != 0)
            continue;
        const TempDir dir;
        const std::string folder = dir / "locks";
        ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
        ASSERT_EQ(chmod(folder.c_str(), k.mode), 0);
        if (k.foreign) {
            ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0);
        }
        std::string used = folder;
        if (k.linked) {
            used = dir / "link";
            ASSERT_EQ(symlink(folder.c_str(), used.c_str()), 0);
        }
        const Outcome run = run_companion(dir, "json", {"-l", used + "/lock"});
        if (k.refusal == nullptr) {
            EXPECT_EQ(run.status, 0) << run.out;
            continue;
        }
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(has(run.out, "\"error\":\"the lock's folder " + used + " " + k.refusal +
                                     "; sudo systemd-tmpfiles --create wex-q40.conf makes /run/wex-q40"))
            << run.out;
        EXPECT_NE(access((folder + "/lock").c_str(), F_OK), 0) << "nothing is made in a refused folder";
    }
}

}  // namespace
