#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "commands.h"
#include "companion_support.h"

namespace {

using wex_q40::Command;
using wex_q40::Subcommand;
using wex_q40::subcommands;

// The module reads 22.4 C, 41.5 %, dew point 8.7 C.
const std::vector<std::string> room = {"VWEX_TEMP=22.4", "VWEX_HUM=41.5"};

std::string calibration_file(const TempDir &dir, const std::string &text)
{
    std::string path = dir / "calibration";
    write_file(path, text);
    chmod(path.c_str(), 0644);
    return path;
}

// 21.4 C, 46.8 %, 9.6 C, computed apart from the code: the vapour kept, 41.5 x es(22.4) / es(21.4) = 44.1 %,
// then x 1.05 + 0.5; the dew point of 21.4 C and 46.81 %.
TEST(Calibration, EveryOutputRendersTheSameCalibratedReadingAndSaysSo)
{
    const TempDir dir;
    const std::string file =
        calibration_file(dir, "temperature-offset = -1.0\nhumidity-gain = 1.05\nhumidity-offset = 0.5\n");
    const std::vector<std::string> cal = {"--calibration", file};
    const std::string settings = "temperature-offset = -1, humidity-gain = 1.05, humidity-offset = 0.5";

    // The module's own 22.4 C would be critical.
    Outcome run = run_companion(dir, "check", {"-v", "-c", "~:22", "--calibration", file}, room);
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.out.substr(0, run.out.find('\n')),
              "WEX-Q40 OK - temperature 21.4C, humidity 46.8%, dew point 9.6C | temperature=21.4;;~:22 "
              "humidity=46.8%;;;0;100 dewpoint=9.6;;");
    EXPECT_NE(run.out.find("\ncalibrated by " + file + " (" + settings +
                           "): the module read temperature 22.4C, humidity 41.5%, dew point 8.7C\n"),
              std::string::npos)
        << run.out;

    run = run_companion(dir, "json", cal, room);
    EXPECT_EQ(run.status, 0) << run.err;
    const std::string filter = ".temperature == 21.4 and .humidity == 46.8 and .dewpoint == 9.6 and "
                               ".calibration == {file: $file, settings: $settings, uncalibrated: "
                               "{temperature: 22.4, humidity: 41.5, dewpoint: 8.7}}";
    const Consumed jq = consume({"jq", "-e", "--arg", "file", file, "--arg", "settings", settings, filter}, run.out);
    EXPECT_EQ(jq.status, 0) << run.out << jq.output;

    run = run_companion(dir, "influx", cal, room);
    EXPECT_EQ(run.out.substr(0, run.out.find(' ', 8)),
              "wex_q40 temperature=21.4,humidity=46.8,dewpoint=9.6,uncalibrated_temperature=22.4,"
              "uncalibrated_humidity=41.5,uncalibrated_dewpoint=8.7");

    std::filesystem::create_directory(dir / "out");
    run = run_companion(dir, "textfile", {"-d", dir / "out", "--calibration", file}, room);
    EXPECT_EQ(run.status, 0) << run.err;
    const std::string prom = read_file(dir / "out/wex_q40.prom");
    expect_promtool_accepts(prom);
    for (const std::string &sample : std::vector<std::string>
         {"\nwex_q40_temperature_celsius 21.4\n", "\nwex_q40_relative_humidity_percent 46.8\n",
          "\nwex_q40_dewpoint_celsius 9.6\n", "\nwex_q40_uncalibrated_temperature_celsius 22.4\n",
          "\nwex_q40_uncalibrated_relative_humidity_percent 41.5\n", "\nwex_q40_uncalibrated_dewpoint_celsius 8.7\n",
          "\nwex_q40_calibration_info{file=\"" + file + "\",section=\"\"} 1\n"})
        EXPECT_NE(prom.find(sample), std::string::npos) << sample << prom;

    // snmp, whose first reading comes beside its answers, is asked for the same in snmp_test.py.
    run = run_companion(dir, "diagnose", cal, room);
    EXPECT_NE(run.out.find("ok      calibration: " + file + ": " + settings + "\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("ok      trial reading: 21.4 C, 46.8 %, calibrated ("), std::string::npos) << run.out;

    // A file of comments only, as the package installs it, changes nothing and says nothing.
    calibration_file(dir, "# temperature-offset = -1.0\n");
    EXPECT_EQ(run_companion(dir, "influx", cal, room).out.substr(0, 52),
              "wex_q40 temperature=22.4,humidity=41.5,dewpoint=8.7 ");
}

// The reading beside the lock holds the program's values: each reader that takes it up applies its own file.
TEST(Calibration, ReadersSharingOneReadingEachRenderTheirOwnCalibration)
{
    const TempDir dir;
    const std::string warm = dir / "warm";
    write_file(warm, "temperature-offset = 2\n");
    chmod(warm.c_str(), 0644);
    const std::vector<std::string> share = {"--max-age", "600"};
    const auto json = [&](std::vector<std::string> args) {
        args.insert(args.begin(), share.begin(), share.end());
        return run_companion(dir, "json", args, room).out;
    };
    const std::string first = json({"--calibration", warm});
    EXPECT_TRUE(jq_holds(".temperature == 24.4 and .calibration.uncalibrated.temperature == 22.4", first)) << first;
    // Another module's values now: a reader that read the module would say so.
    const Outcome plain = run_companion(dir, "json", {"--max-age", "600"}, {"VWEX_TEMP=5", "VWEX_HUM=50"});
    EXPECT_TRUE(jq_holds(".temperature == 22.4 and .humidity == 41.5 and (has(\"calibration\") | not)", plain.out))
        << plain.out;
    const std::string again = json({"--calibration", warm});
    EXPECT_TRUE(jq_holds(".temperature == 24.4 and .dewpoint == 8.7", again)) << again;
}

// Nothing is read with a calibration that could not be taken in: the module is never opened.
TEST(Calibration, ABadFileEndsEverySubcommandBeforeTheReadingWithItsConfigurationStatus)
{
    const TempDir dir;
    const std::string file = calibration_file(dir, "# the reference hygrometer\nhumidity-gain = 2\n");
    const std::string error = file + ":2: '2' is out of range: it must be from 0.5 to 1.5";
    const std::string marker = dir / "read";
    const std::string program = write_script(dir, "program", "touch " + marker + "\n");
    for (const Subcommand &s : subcommands()) {
        SCOPED_TRACE(s.name);
        std::vector<std::string> args = {"-b", program, "--calibration", file};
        if (s.command == Command::mqtt)
            args.insert(args.end(), {"--host", "127.0.0.1"});
        const Outcome run = run_companion(dir, s.name, args, room);
        EXPECT_FALSE(std::filesystem::exists(marker));
        switch (s.command) {
        case Command::check:
            EXPECT_EQ(run.status, 3);
            EXPECT_EQ(run.out, "WEX-Q40 UNKNOWN - " + error + "\n");
            break;
        case Command::json: {
            EXPECT_EQ(run.status, 2);
            EXPECT_EQ(run.err, "wex-q40 json: " + error + "\n");
            const Consumed jq = consume({"jq", "-e", "--arg", "e", error, ".error == $e"}, run.out);
            EXPECT_EQ(jq.status, 0) << run.out;
            break;
        }
        default:
            EXPECT_EQ(run.status, 2);
            EXPECT_EQ(run.out, "");
            EXPECT_EQ(run.err, std::string("wex-q40 ") + s.name + ": " + error + "\n");
        }
    }
    // Named by the variable, as by the option; a missing file named either way is an error too.
    const Outcome run = run_companion(dir, "influx", {}, {"WEX_Q40_CALIBRATION=" + (dir / "none")});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "wex-q40 influx: cannot read the calibration file " + (dir / "none") +
                           ": No such file or directory\n");
}

}  // namespace
