// wex_usbemu as a user runs it: stopped with SIGTERM, SIGINT or SIGHUP it passes
// the signal on to its program and leaves no testbed behind; readers killed
// under a script let go of the module and leave the tool unharmed; its module options.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "child_run.h"
#include "emulator.h"
#include "program_output.h"
#include "spawned.h"
#include "tool_options.h"

namespace {

constexpr double time_limit_s = 10.0;

bool exists(const std::string &path)
{
    struct stat st{};
    return stat(path.c_str(), &st) == 0;
}

class Stopped : public ::testing::TestWithParam<int> {};

TEST_P(Stopped, PassesTheSignalOnAndRemovesItsTestbed)
{
    const int signal = GetParam();
    // Started as a user would start it, outside this test's own testbed.
    Spawned tool({USBEMU_TOOL, "--", "/bin/sh", "-c", "echo \"$UMOCKDEV_DIR\"; exec sleep 30"},
                 {"LD_PRELOAD", "UMOCKDEV_DIR"});
    const std::string testbed = tool.read_line(time_limit_s);
    ASSERT_EQ(testbed.rfind("/tmp/umockdev.", 0), 0u) << "no testbed reported: " << testbed;
    ASSERT_TRUE(exists(testbed + "/sys"));

    ASSERT_EQ(kill(tool.pid(), signal), 0);
    EXPECT_EQ(tool.wait(time_limit_s), 128 + signal) << "the program did not end by the signal, or the tool hung";
    EXPECT_FALSE(exists(testbed)) << testbed << " left behind";
}

INSTANTIATE_TEST_SUITE_P(Tool, Stopped, ::testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const ::testing::TestParamInfo<int> &p) { return std::string(sigabbrev_np(p.param)); });

// The script (through timeout) holds a connection of its own to the testbed,
// which must not be taken for the reader's; a reader killed at any point of its
// open or its reading lets go of the module.
TEST(Tool, ReadersKilledUnderAScriptLetGoOfTheModule)
{
    const std::string script = "for t in 0.02 0.06 0.10 0.16; do timeout -s KILL $t \"$0\" >/dev/null 2>&1; "
                               "\"$0\" 2>&1 | head -1; done";
    const wex_test::ChildRun run =
        wex_test::run_child({USBEMU_TOOL, "--ready-at-once", "--", "/bin/bash", "-c", script, WEX_PROGRAM},
                            wex_test::environment_with({}, {"LD_PRELOAD", "UMOCKDEV_DIR", "LD_LIBRARY_PATH"}),
                            time_limit_s);
    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.out.find("claimed by another program"), std::string::npos) << run.out;
}

// Twenty readers start together and are killed at every point of their open or
// their reading; GLib's warnings are made fatal.
// A killed reading leaves the sensor mid-frame, and each failed reading clocks
// it on until it lets go of its data line; the reading after a good one must be good.
TEST(Tool, ManyKilledReadersLeaveTheToolQuietAndTheModuleFree)
{
    constexpr int script_status = 3;
    const std::string script = "echo \"$UMOCKDEV_DIR\"; for i in $(seq 20); do \"$0\" >/dev/null 2>&1 & "
                               "(sleep $(printf 0.%03d $((i * 15))); kill -KILL $! 2>/dev/null) & done; wait; "
                               "for n in 1 2 3 4; do \"$0\" >/dev/null 2>&1 && break; done; \"$0\" && exit " +
                               std::to_string(script_status);
    const wex_test::ChildRun run = wex_test::run_child(
        {USBEMU_TOOL, "--ready-at-once", "--", "/bin/sh", "-c", script, WEX_PROGRAM},
        wex_test::environment_with({"G_DEBUG=fatal-warnings"}, {"LD_PRELOAD", "UMOCKDEV_DIR", "LD_LIBRARY_PATH"}),
        time_limit_s);
    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.status, script_status) << run.err;
    EXPECT_EQ(run.err, "");
    const std::size_t end_of_testbed = run.out.find('\n');
    ASSERT_NE(end_of_testbed, std::string::npos) << run.out;
    const std::string testbed = run.out.substr(0, end_of_testbed);
    ASSERT_EQ(testbed.rfind("/tmp/umockdev.", 0), 0u) << "no testbed reported: " << run.out;
    EXPECT_FALSE(exists(testbed)) << testbed << " left behind";
    EXPECT_EQ(run.out.substr(end_of_testbed + 1), wex_test::default_reading);
}

usbemu::Config parse(std::vector<std::string> args)
{
    args.insert(args.begin(), "wex_usbemu");
    args.insert(args.end(), {"--", "program"});
    std::vector<char *> argv = wex_test::exec_pointers(args);
    usbemu::Config config;
    const int program = usbemu::parse_tool_options(static_cast<int>(args.size()), argv.data(), config);
    EXPECT_EQ(std::string(argv[static_cast<std::size_t>(program)]), "program");
    return config;
}

TEST(ToolOptions, ModuleOptionsApplyToTheModuleTheyFollow)
{
    const usbemu::Config config =
        parse({"--raw-temp", "6500", "--port", "2-4.1.3", "--devnum", "9", "--module", "--raw-hum", "900",
               "--claimed", "--module", "--port", "1-7"});
    EXPECT_EQ(config.sensor.raw_temperature, 6500);
    EXPECT_EQ(config.placement.bus, 2u);
    EXPECT_EQ(config.placement.ports, (std::vector<unsigned>{4, 1, 3}));
    EXPECT_EQ(config.placement.address, 9u);
    EXPECT_FALSE(config.claimed_elsewhere);
    ASSERT_EQ(config.more.size(), 2u);
    EXPECT_EQ(config.more[0].sensor.raw_humidity, 900);
    EXPECT_EQ(config.more[0].sensor.raw_temperature, usbemu::Config{}.sensor.raw_temperature);
    EXPECT_TRUE(config.more[0].claimed_elsewhere);
    EXPECT_EQ(config.more[0].placement.ports, (std::vector<unsigned>{2}));
    EXPECT_EQ(config.more[0].placement.address, 3u);
    EXPECT_EQ(config.more[1].placement.ports, (std::vector<unsigned>{7}));
    EXPECT_EQ(config.more[1].placement.address, 4u);

    for (const char *port : {"1", "1-", "1-2.", "-2", "1-2.x", "256-1"})
        EXPECT_THROW(parse({"--port", port}), std::invalid_argument) << port;
    EXPECT_THROW(parse({"--devnum"}), std::invalid_argument);
}

TEST(ToolOptions, FailTransferTakesANumberFromOneAndAKind)
{
    const usbemu::Config config = parse({"--fail-transfer", "7:stall", "--fail-transfer", "0x10:short", "--module",
                                         "--fail-transfer", "3:gone", "--fail-transfer", "9:timeout"});
    ASSERT_EQ(config.faults.size(), 2u);
    EXPECT_EQ(config.faults[0].transfer, 7u);
    EXPECT_EQ(config.faults[0].kind, usbemu::FaultKind::stall);
    EXPECT_EQ(config.faults[1].transfer, 16u);
    EXPECT_EQ(config.faults[1].kind, usbemu::FaultKind::short_transfer);
    ASSERT_EQ(config.more.size(), 1u);
    ASSERT_EQ(config.more[0].faults.size(), 2u);
    EXPECT_EQ(config.more[0].faults[0].kind, usbemu::FaultKind::gone);
    EXPECT_EQ(config.more[0].faults[1].kind, usbemu::FaultKind::timeout);
    for (const char *fault : {"7", "7:", ":stall", "0:stall", "7:stal", "x:gone", "7:stall:1"})
        EXPECT_THROW(parse({"--fail-transfer", fault}), std::invalid_argument) << fault;
}

TEST(ToolOptions, TheRealModuleByDefaultAndTheTimingAsked)
{
    const usbemu::Config config =
        parse({"--maximum-conversion", "--latency-us", "1500", "--serial-driver", "--module", "--ready-at-once"});
    EXPECT_EQ(config.sensor.temperature_time, sensor_model::maximum_conversion.temperature);
    EXPECT_EQ(config.sensor.humidity_time, sensor_model::maximum_conversion.humidity);
    EXPECT_EQ(config.latency, std::chrono::microseconds(1500));
    EXPECT_TRUE(config.serial_driver);
    ASSERT_EQ(config.more.size(), 1u);
    EXPECT_EQ(config.more[0].sensor.temperature_time, std::chrono::microseconds(0));
    EXPECT_FALSE(config.more[0].serial_driver);
    const usbemu::Config plain = parse({});
    EXPECT_EQ(plain.sensor.temperature_time, sensor_model::typical_conversion.temperature);
    EXPECT_EQ(plain.sensor.humidity_time, sensor_model::typical_conversion.humidity);
    EXPECT_EQ(plain.latency, std::chrono::microseconds(0));
    EXPECT_FALSE(plain.serial_driver);
}

}  // namespace
