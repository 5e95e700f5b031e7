#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <set>

#include "companion_support.h"
#include "range.h"

using namespace wex_q40;

namespace {

const std::vector<std::string> room = {"VWEX_TEMP=22.4", "VWEX_HUM=41.5"};

std::string first_line(const std::string &out)
{
    return out.substr(0, out.find('\n'));
}

bool all_of(const std::string &text, const char *allowed)
{
    return !text.empty() && text.find_first_not_of(allowed) == std::string::npos;
}

// 'label'=value[UOM];[warn];[crit];[min];[max], as the plugin guidelines write it; returns the label.
std::string guideline_label(const std::string &token)
{
    const auto eq = token.find('=');
    if (eq == std::string::npos)
        return {};
    std::string label = token.substr(0, eq);
    const bool quoted = label.size() > 2 && label.front() == '\'' && label.back() == '\'';
    if (quoted)
        label = label.substr(1, label.size() - 2);
    if (label.empty() || label.find_first_of(quoted ? "'=" : "' =") != std::string::npos)
        return {};
    std::istringstream fields(token.substr(eq + 1));
    std::string value;
    std::getline(fields, value, ';');
    const auto unit_start = value.find_first_not_of("-0123456789.");
    const std::string number = value.substr(0, unit_start);
    const std::string unit = unit_start == std::string::npos ? "" : value.substr(unit_start);
    if (value != "U" && (!all_of(number, "-0123456789.") ||
                         !(unit.empty() || unit == "s" || unit == "ms" || unit == "us" || unit == "%" ||
                           unit == "B" || unit == "KB" || unit == "MB" || unit == "TB" || unit == "c")))
        return {};
    int count = 0;
    for (std::string field; std::getline(fields, field, ';'); ++count)
        if (count < 2 && !field.empty() && !parse_range(field))
            return {};
    return count <= 4 ? label : std::string();
}

void expect_guideline_perfdata(const std::string &line)
{
    const auto bar = line.find(" | ");
    ASSERT_NE(bar, std::string::npos) << line;
    EXPECT_LE(bar, 80u) << "text before the perfdata: " << line;
    std::istringstream items(line.substr(bar + 3));
    std::set<std::string> labels;
    for (std::string token; items >> token;) {
        const std::string label = guideline_label(token);
        ASSERT_NE(label, "") << "not guideline perfdata: " << token;
        EXPECT_TRUE(labels.insert(label.substr(0, 19)).second) << "label not unique in 19 characters: " << token;
    }
    EXPECT_EQ(labels.size(), 3u) << line;
}

TEST(Check, StateIsTheWorstOfTheThreeAndPerfdataFollowsTheGuidelines)
{
    struct Case {
        std::vector<std::string> env;
        std::vector<std::string> args;
        const char *perfdata;
        int status;
        int lines = -1;  // the first line and one per alert, unless given
    };
    // Humidity 0.0 % (printed -0.0), dew point not a number.
    const std::vector<std::string> nan_dewpoint = {"VWEX_TEMP=22.4", "VWEX_HUM=0"};
    const Case cases[] = {
        {room, {"-w", "18:27", "-c", "10:35"}, "temperature=22.4;18:27;10:35 humidity=41.5%;;;0;100 dewpoint=8.7;;", 0},
        {room, {"-w", "18:20", "-c", "10:35"}, "temperature=22.4;18:20;10:35 humidity=41.5%;;;0;100 dewpoint=8.7;;", 1},
        {room, {"--humidity-warning", "~:30", "--humidity-critical", "~:40"},
         "temperature=22.4;; humidity=41.5%;~:30;~:40;0;100 dewpoint=8.7;;", 2},
        {room, {"--dewpoint-warning", "10:", "--dewpoint-critical", "-9:15"},
         "temperature=22.4;; humidity=41.5%;;;0;100 dewpoint=8.7;10:;-9:15", 1},
        {room, {"-w", "30", "--dewpoint-critical", "@8.7:9"},
         "temperature=22.4;30; humidity=41.5%;;;0;100 dewpoint=8.7;;@8.7:9", 2},
        {room, {"-c", "@22.4:22.4"}, "temperature=22.4;;@22.4:22.4 humidity=41.5%;;;0;100 dewpoint=8.7;;", 2},
        {nan_dewpoint, {"-w", "18:27"}, "temperature=22.4;18:27; humidity=0.0%;;;0;100 dewpoint=U;;", 0},
        {nan_dewpoint, {"--dewpoint-critical", "0:10"}, "temperature=22.4;; humidity=0.0%;;;0;100 dewpoint=U;;0:10", 3},
        {nan_dewpoint, {"-c", "30:", "--dewpoint-warning", "0:10"},
         "temperature=22.4;;30: humidity=0.0%;;;0;100 dewpoint=U;0:10;", 2, 3},
        {{"VWEX_FAIL=FT_Close:1"}, {}, "temperature=30.0;; humidity=50.6%;;;0;100 dewpoint=18.6;;", 1},
        {{"VWEX_RAW_HUM=3348"}, {"--dewpoint-warning", "~:29.9"},
         "temperature=30.0;; humidity=100.0%;;;0;100 dewpoint=30.0;~:29.9;", 1},
    };
    const TempDir dir;
    for (const auto &c : cases) {
        const Outcome run = run_companion(dir, "check", c.args, c.env);
        const std::string line = first_line(run.out);
        static const char *const states[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
        EXPECT_EQ(run.status, c.status) << line;
        EXPECT_EQ(line.rfind(std::string("WEX-Q40 ") + states[c.status] + " - ", 0), 0u) << line;
        EXPECT_EQ(line.substr(line.find(" | ") + 3), c.perfdata);
        EXPECT_EQ(run.err, "");
        expect_guideline_perfdata(line);
        EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), c.lines >= 0 ? c.lines : c.status == 0 ? 1 : 2)
            << run.out;
    }
}

TEST(Check, EverythingThatIsNotAMeasurementIsUnknown)
{
    const TempDir dir;
    const std::string exits_127 = write_script(dir, "127", "exit 127\n");
    const std::string crashes = write_script(dir, "crash", "echo 'Temperature: 22.4C, 72.3F'\nkill -SEGV $$\n");
    const std::string complains = write_script(
        dir, "stderr", "printf 'Temperature: 22.4C, 72.3F\\nHumidity: 41.5%%\\nDewpoint: 8.7C, 47.6F\\n'\necho odd >&2\n");
    struct Case {
        std::vector<std::string> env;
        std::vector<std::string> args;
        const char *says;
    };
    const Case cases[] = {
        {{"VWEX_BAD_CRC=temp"}, {"-r", "0"}, "Bad CRC"},
        {{"VWEX_ABSENT=1"}, {"-r", "0"}, "FT_Open failed"},
        {{"VWEX_RAW_TEMP=65535", "VWEX_RAW_HUM=65535"}, {"-r", "0"}, "implausible reading: temperature 615.4 C"},
        {{}, {"-r", "0", "-b", dir / "missing"}, "cannot run"},
        {{}, {"-r", "0", "-b", exits_127}, "status 127"},
        {{}, {"-r", "0", "-b", crashes}, "signal 11"},
        {{}, {"-r", "0", "-b", complains}, "standard error"},
        {{}, {"-w", "20:10"}, "-w"},
        {{}, {"-c", "1e3"}, "-c"},
        {{}, {"--humidity-critical"}, "needs a value"},
        {{}, {"-t", "0"}, "-t"},
        {{}, {"-r", "many"}, "-r"},
        {{}, {"--bogus"}, "unknown option"},
        {{}, {"-d", "/tmp"}, "unknown option"},
        {{}, {"extra"}, "unexpected argument"},
        {{}, {"-b", ""}, "-b needs a value that is not empty"},
        {{}, {"--lock="}, "-l needs a value that is not empty"},
        {{}, {"-h"}, "Usage: check_wex_q40"},
        {{}, {"-V"}, "wex-q40 1."},
    };
    for (const auto &c : cases) {
        const Outcome run = run_companion(dir, "check", c.args, c.env);
        EXPECT_EQ(run.status, 3) << run.out;
        EXPECT_NE(run.out.find(c.says), std::string::npos) << run.out;
        EXPECT_EQ(run.err, "") << run.out;
        // -h and -V print the usage or the version alone; anything else is the one
        // line of the notification, and a bad option a pointer to the help.
        if (c.args.front() != "-h" && c.args.front() != "-V") {
            EXPECT_EQ(run.out.rfind("WEX-Q40 UNKNOWN - ", 0), 0u) << run.out;
            EXPECT_EQ(run.out.find("Usage"), std::string::npos) << run.out;
        }
    }
}

// What the virtual module can make fail, as the plugin's first line says it; a
// failure that a second reading cannot mend is not taken again.
TEST(Check, KnownFailuresSayWhatHappenedAndPermanentOnesAreNotRetried)
{
    const TempDir dir;
    struct Case {
        std::vector<std::string> env;
        const char *first_line;
        bool retried;
        std::string library_dir = WEX_VMODULE_DIR;
    };
    const Case cases[] = {
        {{"VWEX_ABSENT=1"}, "WEX-Q40 UNKNOWN - no WEX-Q40 module found (USB 0403:fbf9)", false},
        {{"VWEX_FAIL=FT_SetVIDPID:1"}, "WEX-Q40 UNKNOWN - the USB library rejected the module's IDs", false},
        {{"VWEX_BAD_CRC=temp"}, "WEX-Q40 UNKNOWN - checksum mismatch in the temperature frame", true},
        {{"VWEX_BAD_CRC=hum"}, "WEX-Q40 UNKNOWN - the humidity reading failed", true},
        {{"VWEX_FAIL=FT_GetBitMode:1"}, "WEX-Q40 UNKNOWN - reading the module's pins failed", true},
        {{"VWEX_FAIL=FT_SetBitMode:1"}, "WEX-Q40 UNKNOWN - the module refused bit-bang mode", true},
        {{"VWEX_BUSY=forever"}, "WEX-Q40 UNKNOWN - the sensor did not answer within 2 s", true},
        {{}, "WEX-Q40 UNKNOWN - no USB library to reach the module", false, WEX_BROKEN_D2XX_DIR},
    };
    for (const auto &c : cases) {
        const Outcome run = run_companion(dir, "check", {"-r", "1"}, c.env, 20, c.library_dir);
        EXPECT_EQ(run.status, 3) << run.out;
        EXPECT_EQ(first_line(run.out), c.first_line) << run.out;
        EXPECT_EQ(run.out.find("\nretry 1 of 1:\n") != std::string::npos, c.retried) << run.out;
    }
}

TEST(Check, RunsAsACheckUnderThePluginNameAndNamesItself)
{
    const TempDir dir;
    const std::string plugin = dir / "check_wex_q40";
    ASSERT_EQ(symlink(WEX_Q40, plugin.c_str()), 0);
    Outcome run = run_program(plugin, {"-c", "25", "-l", dir / "lock", "-b", WEX_PROGRAM}, {"VWEX_TEMP=30.0"},
                              WEX_VMODULE_DIR, 20);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out.rfind("WEX-Q40 CRITICAL - temperature 30.0C!!, humidity", 0), 0u) << run.out;
    run = run_program(plugin, {"--version"}, {}, WEX_VMODULE_DIR, 20);
    EXPECT_EQ(run.out.rfind("check_wex_q40 1.", 0), 0u) << run.out;
    run = run_program(plugin, {"--bogus"}, {}, WEX_VMODULE_DIR, 20);
    EXPECT_EQ(run.out, "WEX-Q40 UNKNOWN - unknown option: --bogus\nSee 'check_wex_q40 --help' for the options.\n");
}

// Each -v adds to the long output: the reading's duration, then the program's own lines.
TEST(Check, VerboseLongOutput)
{
    const TempDir dir;
    struct Case {
        std::vector<std::string> args;
        std::size_t lines;
    };
    const Case cases[] = {{{}, 1}, {{"-v"}, 2}, {{"--verbose", "-v"}, 5}, {{"-vvv"}, 5}};
    for (const auto &c : cases) {
        const Outcome run = run_companion(dir, "check", c.args);
        EXPECT_EQ(run.status, 0) << run.out;
        EXPECT_EQ(static_cast<std::size_t>(std::count(run.out.begin(), run.out.end(), '\n')), c.lines) << run.out;
        if (c.lines > 1) {
            EXPECT_NE(run.out.find("\nreading took "), std::string::npos) << run.out;
            EXPECT_NE(run.out.find(" s in 1 attempt\n"), std::string::npos) << run.out;
        }
        if (c.lines > 2) {
            EXPECT_NE(run.out.find("\nTemperature: 30.0C, 86.0F\nHumidity: 50.6%\n"), std::string::npos) << run.out;
        }
    }
}

}  // namespace
