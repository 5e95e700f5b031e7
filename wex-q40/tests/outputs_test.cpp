#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>

#include "commands.h"
#include "companion_support.h"
#include "options.h"

namespace {

using wex_q40::Command;
using wex_q40::OptionText;
using wex_q40::option_texts;
using wex_q40::Subcommand;
using wex_q40::subcommands;
using wex_q40::usage;

const std::vector<std::string> room = {"VWEX_TEMP=22.4", "VWEX_HUM=41.5"};
// Prints humidity -0.0 % and a dew point that is not a number.
const std::vector<std::string> bone_dry = {"VWEX_TEMP=22.4", "VWEX_HUM=0"};
// 100.4 % at 30.0 C: saturated air read within the sensor's tolerance.
const std::vector<std::string> saturated = {"VWEX_RAW_HUM=3348"};
const std::string jq_time = "(.time | test(\"^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z$\")) and "
                            "((.time | fromdateiso8601) - now | fabs < 60)";

TEST(Json, OneObjectPerReadingParsedByJq)
{
    const TempDir dir;
    struct Case {
        std::vector<std::string> env;
        std::vector<std::string> args;
        int status;
        std::string filter;
    };
    const Case cases[] = {
        {room, {}, 0, ".temperature == 22.4 and .humidity == 41.5 and .dewpoint == 8.7 and (keys | length) == 4"},
        {bone_dry, {}, 0, ".humidity == 0.0 and .dewpoint == null and has(\"dewpoint\")"},
        {saturated, {}, 0, ".humidity == 100.0 and .dewpoint == 30.0 and .temperature == 30.0"},
        {{"VWEX_RAW_HUM=0"}, {"-r", "0"}, 1, ".error == \"implausible reading: humidity -4.0 %\""},
        {{"VWEX_FAIL=FT_Close:1"}, {}, 0,
         ".temperature == 30.0 and .warning == \"module not closed: wex_close failed!\" and (keys | length) == 5"},
        {{"VWEX_BAD_CRC=hum"}, {"-r", "0"}, 1,
         ".error == \"the humidity reading failed\" and (.advice | length > 0) and "
         ".details == [\"wex_read_hum failed!\", \"wex_q40_test ended with status 255\"] and (keys | length) == 4"},
        {{"VWEX_RAW_TEMP=65535", "VWEX_RAW_HUM=65535"}, {"-r", "0"}, 1,
         ".error == \"implausible reading: temperature 615.4 C\" and (.details | length) == 4 and "
         "(has(\"temperature\") | not)"},
        {{}, {"-t", "soon"}, 2, ".error | contains(\"-t\")"},
    };
    for (const auto &c : cases) {
        const Outcome run = run_companion(dir, "json", c.args, c.env);
        EXPECT_EQ(run.status, c.status) << run.out;
        EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << run.out;
        const Consumed jq = consume({"jq", "-e", "(" + c.filter + ") and " + jq_time}, run.out);
        EXPECT_EQ(jq.status, 0) << c.filter << "\n" << run.out << jq.output;
    }
}

TEST(Influx, LineProtocolForTelegrafAndNothingOnFailure)
{
    const TempDir dir;
    const auto now_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    // measurement fields timestamp: nanoseconds, within a minute of now.
    const auto expect_line = [now_ns](const std::string &out, const std::string &head) {
        ASSERT_EQ(out.size(), head.size() + 20) << out;
        EXPECT_EQ(out.substr(0, head.size()), head);
        const std::string stamp = out.substr(head.size(), 19);
        ASSERT_EQ(stamp.find_first_not_of("0123456789"), std::string::npos) << out;
        EXPECT_NEAR(static_cast<double>(std::stoll(stamp)), static_cast<double>(now_ns), 60e9);
        EXPECT_EQ(out.back(), '\n');
    };
    Outcome run = run_companion(dir, "influx", {}, room);
    EXPECT_EQ(run.status, 0);
    expect_line(run.out, "wex_q40 temperature=22.4,humidity=41.5,dewpoint=8.7 ");
    run = run_companion(dir, "influx", {}, bone_dry);
    expect_line(run.out, "wex_q40 temperature=22.4,humidity=0.0 ");
    run = run_companion(dir, "influx", {}, saturated);
    expect_line(run.out, "wex_q40 temperature=30.0,humidity=100.0,dewpoint=30.0 ");
    run = run_companion(dir, "influx", {}, {"VWEX_FAIL=FT_Close:1"});
    EXPECT_EQ(run.status, 0);
    expect_line(run.out, "wex_q40 temperature=30.0,humidity=50.6,dewpoint=18.6 ");
    EXPECT_EQ(run.err, "wex-q40 influx: module not closed: wex_close failed!\n");
    run = run_companion(dir, "influx", {"-r", "0"}, {"VWEX_RAW_HUM=0x1000"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("implausible reading: humidity 115.1 %"), std::string::npos) << run.err;

    run = run_companion(dir, "influx", {"-r", "0"}, {"VWEX_ABSENT=1"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("wex_open failed!"), std::string::npos) << run.err;
}

TEST(Output, AReportThatCannotBeWrittenIsAFailure)
{
    const TempDir dir;
    for (const auto &[command, status] : {std::pair{"check", 3}, {"json", 1}, {"influx", 1}}) {
        const std::string line = std::string(WEX_Q40) + " " + command + " -l " + dir / "lock" + " -b " + WEX_PROGRAM;
        const Outcome run = run_program("/bin/sh", {"-c", line + " >/dev/full"}, {}, WEX_VMODULE_DIR, 20);
        EXPECT_EQ(run.status, status) << command;
        EXPECT_NE(run.err.find("cannot write to standard output: No space left on device"), std::string::npos)
            << run.err;
    }
}

struct Textfile {
    TempDir dir;
    std::string prom() const { return read_file(dir / "out/wex_q40.prom"); }
    Outcome write(const std::vector<std::string> &env, std::vector<std::string> args = {}) const
    {
        args.insert(args.end(), {"-d", dir / "out", "-r", "0"});
        return run_companion(dir, "textfile", args, env);
    }
};

TEST(Textfile, GoodFailedAndNotANumberFilesPassPromtool)
{
    const Textfile t;
    std::filesystem::create_directory(t.dir / "out");
    Outcome run = t.write(room);
    EXPECT_EQ(run.status, 0) << run.err;
    const std::string good = t.prom();
    expect_promtool_accepts(good);
    for (const char *sample : {"\nwex_q40_temperature_celsius 22.4\n", "\nwex_q40_relative_humidity_percent 41.5\n",
                               "\nwex_q40_dewpoint_celsius 8.7\n", "\nwex_q40_read_success 1\n"})
        EXPECT_NE(good.find(sample), std::string::npos) << sample;
    const auto stamp_at = good.find("\nwex_q40_last_success_timestamp_seconds ");
    ASSERT_NE(stamp_at, std::string::npos) << good;
    const std::string stamp = good.substr(stamp_at, good.find('\n', stamp_at + 1) - stamp_at + 1);
    EXPECT_NEAR(std::stod(stamp.substr(stamp.find(' '))), static_cast<double>(std::time(nullptr)), 60);
    struct stat st {};
    ASSERT_EQ(stat((t.dir / "out/wex_q40.prom").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);

    run = t.write({"VWEX_BAD_CRC=temp"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("Bad CRC"), std::string::npos) << run.err;
    const std::string failed = t.prom();
    expect_promtool_accepts(failed);
    EXPECT_NE(failed.find("\nwex_q40_read_success 0\n"), std::string::npos) << failed;
    EXPECT_NE(failed.find(stamp), std::string::npos) << "timestamp not kept:\n" << failed;
    EXPECT_EQ(failed.find("wex_q40_temperature_celsius"), std::string::npos) << failed;

    run = t.write(bone_dry);
    EXPECT_EQ(run.status, 0);
    expect_promtool_accepts(t.prom());
    EXPECT_EQ(t.prom().find("wex_q40_dewpoint_celsius"), std::string::npos) << t.prom();
    EXPECT_NE(t.prom().find("\nwex_q40_relative_humidity_percent 0.0\n"), std::string::npos) << t.prom();

    run = t.write({"VWEX_RAW_HUM=0x1000"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(t.prom().find("\nwex_q40_read_success 0\n"), std::string::npos) << t.prom();
    EXPECT_EQ(t.prom().find("wex_q40_relative_humidity_percent"), std::string::npos) << t.prom();

    run = t.write({"VWEX_FAIL=FT_Close:1"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "wex-q40 textfile: module not closed: wex_close failed!\n");
    EXPECT_NE(t.prom().find("\nwex_q40_temperature_celsius 30.0\n"), std::string::npos) << t.prom();
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(t.dir / "out"), {}), 1) << "temporary file left";
}

TEST(Textfile, ACorruptOldFileGivesOneTimestamp)
{
    const Textfile t;
    std::filesystem::create_directory(t.dir / "out");
    write_file(t.dir / "out/wex_q40.prom", "wex_q40_last_success_timestamp_seconds 1700000000\n\x01garbage\n"
                                           "wex_q40_last_success_timestamp_seconds 1800000000\n");
    const Outcome run = t.write({"VWEX_ABSENT=1"});
    EXPECT_EQ(run.status, 1);
    expect_promtool_accepts(t.prom());
    EXPECT_NE(t.prom().find("\nwex_q40_last_success_timestamp_seconds 1700000000\n"), std::string::npos) << t.prom();
}

TEST(Textfile, FolderFromTheEnvironmentAndStatus2WhenUnwritable)
{
    const Textfile t;
    std::filesystem::create_directory(t.dir / "env");
    Outcome run = run_companion(t.dir, "textfile", {}, {"VWEX_TEMP=22.4", "WEX_Q40_TEXTFILE_DIR=" + t.dir / "env"});
    EXPECT_EQ(run.status, 0) << run.err;
    expect_promtool_accepts(read_file(t.dir / "env/wex_q40.prom"));

    run = t.write(room);
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("cannot create a file in"), std::string::npos) << run.err;
    run = run_companion(t.dir, "textfile", {"-t", "x"}, room);
    EXPECT_EQ(run.status, 2);
    run = run_companion(t.dir, "textfile", {}, {"WEX_Q40_TIMEOUT=0"});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("WEX_Q40_TIMEOUT"), std::string::npos) << run.err;
}

// A value that cannot be used is an error, never another meaning; one that is not used does not matter.
TEST(Options, EmptyValuesAreErrorsAndAnUnusedTimeoutVariableIsIgnored)
{
    const Textfile t;
    std::filesystem::create_directory(t.dir / "out");
    struct Case {
        const char *command;
        std::vector<std::string> args;
        std::vector<std::string> env;
        int status;
        const char *says;  // on standard error
    };
    const Case cases[] = {
        {"textfile", {"-d", ""}, {}, 2, "-d needs a value that is not empty"},
        {"json", {"-b", ""}, {}, 2, "-b needs a value that is not empty"},
        {"influx", {"-l", ""}, {}, 2, "-l needs a value that is not empty"},
        {"textfile", {"-d", t.dir / "out", "-t", "5"}, {"WEX_Q40_TIMEOUT=soon"}, 0, ""},
        {"textfile", {"-h"}, {"WEX_Q40_TIMEOUT=soon"}, 0, ""},
        {"textfile", {"-d", t.dir / "out"}, {"WEX_Q40_TIMEOUT=soon"}, 2, "WEX_Q40_TIMEOUT needs"},
    };
    for (const auto &c : cases) {
        const Outcome run = run_companion(t.dir, c.command, c.args, c.env);
        EXPECT_EQ(run.status, c.status) << c.command << "\n" << run.err;
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    }
    EXPECT_FALSE(std::filesystem::exists("/wex_q40.prom"));
}

// Help and version that could not be written are failures too.
TEST(Options, HelpOrVersionThatCannotBeWrittenFails)
{
    struct Case {
        std::vector<std::string> args;
        int status;
    };
    const Case cases[] = {{{"-h"}, 2},          {{"--version"}, 2},         {{"json", "-h"}, 1},
                          {{"check", "-V"}, 3}, {{"textfile", "--help"}, 2}, {{"help"}, 2},
                          {{"help", "json"}, 1}, {{"help", "check"}, 3},     {{"diagnose", "-h"}, 1}};
    for (const auto &c : cases) {
        std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$@\" >/dev/full", "sh", WEX_Q40};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const wex_test::ChildRun run = wex_test::run_child(argv, wex_test::environment_with({}, {}), 10.0);
        EXPECT_EQ(run.status, c.status) << c.args.back();
        EXPECT_NE(run.err.find("cannot write to standard output"), std::string::npos) << run.err;
    }
}

// The plugin's UNKNOWN is its consumers' usage error; every other subcommand's is 2.
TEST(Options, ABadOptionOrArgumentEndsEverySubcommandButThePluginWith2)
{
    for (const Subcommand &s : subcommands())
        for (const char *bad : {"--bogus", "extra", "-t"}) {
            const Outcome run = run_program(WEX_Q40, {s.name, bad}, {}, WEX_VMODULE_DIR, 20);
            EXPECT_EQ(run.status, s.command == Command::check ? 3 : 2) << s.name << " " << bad;
        }
}

// Only the flags that end the command instead of shaping it stay out of the usage line.
TEST(Options, TheUsageLineNamesEveryOptionButHelpAndVersion)
{
    for (const Subcommand &s : subcommands()) {
        const std::string text = usage(s);
        const std::string line = text.substr(0, text.find(s.summary));
        for (const OptionText &t : option_texts(s)) {
            const std::string name = t.letter != 0 ? std::string("-") + t.letter : std::string("--") + t.name;
            const bool listed = line.find("[" + name + (t.argument != nullptr ? " " : "]")) != std::string::npos;
            EXPECT_EQ(listed, t.letter != 'h' && t.letter != 'V') << s.name << " " << name << "\n" << line;
        }
    }
}

// wex-q40 help [COMMAND] is -h by another name, status included, and ends naming the man page to read.
TEST(Options, HelpCommandPrintsWhatHelpOptionPrints)
{
    struct Pair {
        std::vector<std::string> help, dash_h;
        std::string last_line;
    };
    std::vector<Pair> pairs = {{{"help"}, {"-h"}, "See wex-q40(1), and wex-q40-COMMAND(1) for each command."},
                               {{"help", "help"}, {"--help"}, "See wex-q40(1), and wex-q40-COMMAND(1) for each command."}};
    for (const Subcommand &s : subcommands())
        pairs.push_back({{"help", s.name}, {s.name, "-h"}, std::string("See wex-q40-") + s.name + "(1)."});
    for (const auto &[help, dash_h, last_line] : pairs) {
        const Outcome asked = run_program(WEX_Q40, help, {}, WEX_VMODULE_DIR, 20);
        const Outcome option = run_program(WEX_Q40, dash_h, {}, WEX_VMODULE_DIR, 20);
        EXPECT_EQ(asked.status, option.status) << help.back();
        EXPECT_EQ(asked.out, option.out);
        EXPECT_NE(asked.out.find("Usage: "), std::string::npos) << help.back();
        const std::size_t end = asked.out.rfind('\n', asked.out.size() - 2);
        EXPECT_EQ(asked.out.substr(end + 1), last_line + "\n") << help.back();
        EXPECT_EQ(asked.err, "");
    }
    const std::string usage = run_program(WEX_Q40, {"-h"}, {}, WEX_VMODULE_DIR, 20).out;
    EXPECT_NE(usage.find("\n       wex-q40 help [COMMAND]\n"), std::string::npos) << usage;
    for (const auto &[args, says] : {std::pair<std::vector<std::string>, std::string>{{"help", "nosuch"},
                                                                                      "wex-q40: unknown command: nosuch\n"},
                                     {{"help", "json", "extra"}, "wex-q40 help: unexpected argument: extra\n"}}) {
        const Outcome run = run_program(WEX_Q40, args, {}, WEX_VMODULE_DIR, 20);
        EXPECT_EQ(run.status, 2) << args.back();
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, says + usage);
    }
}

}  // namespace
