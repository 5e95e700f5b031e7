// The real program through the libftdi1 backend, libusb and usbfs to the
// emulated chip: standard output byte for byte, the exit status, and what
// crossed the wire.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "backend_program.h"
#include "child_run.h"
#include "emulator.h"
#include "line_script.h"
#include "module_facts.h"
#include "program_output.h"

namespace {

using wex_test::ChildRun;
using wex_test::environment_with;
using wex_test::not_opened;
using wex_test::run_child;
const std::string &good_report = wex_test::default_reading;
constexpr double time_limit_s = 20.0;
constexpr std::uint16_t sio_set_bitmode = 0x0B;
constexpr std::uint16_t sio_read_pins = 0x0C;

std::string hex(unsigned value, int digits)
{
    char text[8];
    std::snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}

bool is_bit_bang(const usbemu::Request &r)
{
    return (r.transfer == usbemu::Transfer::control_out && r.request == sio_set_bitmode) ||
           (r.transfer == usbemu::Transfer::control_in && r.request == sio_read_pins) ||
           r.transfer == usbemu::Transfer::bulk_out;
}

// One entry per URB: "mode VVVV" (set-bit-mode, wValue), "out XX" (bulk OUT), "pins" (read-pins).
std::vector<std::string> bit_bang_traffic(const std::vector<usbemu::Request> &log)
{
    std::vector<std::string> traffic;
    for (const usbemu::Request &r : log) {
        if (!is_bit_bang(r))
            continue;
        if (r.transfer == usbemu::Transfer::bulk_out) {
            std::string line = "out";
            for (std::uint8_t byte : r.data)
                line += " " + hex(byte, 2);
            traffic.push_back(line);
        } else if (r.request == sio_set_bitmode) {
            traffic.push_back("mode " + hex(r.value, 4));
        } else {
            traffic.push_back("pins");
        }
    }
    return traffic;
}

// The traffic the driver's D2XX calls must cause: one set-bit-mode per
// FT_SetBitMode, one bulk OUT of the pin image per FT_Write, one read-pins per FT_GetBitMode.
struct UsbRequests {
    static std::string set_bit_mode(unsigned mask, unsigned mode) { return "mode " + hex(mode << 8 | mask, 4); }
    static std::string write(unsigned pins) { return "out " + hex(pins, 2); }
    static std::string read_pins() { return "pins"; }
};

std::vector<std::string> expected_reading(unsigned busy)
{
    wex_test::Recorder<UsbRequests> requests;
    requests.busy = busy;
    wex_test::LineScript<wex_test::Recorder<UsbRequests>> wire{requests};
    wire.open();
    wire.measure(wex_module::command_temperature);
    wire.measure(wex_module::command_humidity);
    return requests.traffic;
}

class CleanReading : public ::testing::TestWithParam<unsigned> {};

TEST_P(CleanReading, PrintsTheReportAndTheWireCarriesTheDriversCallsInOrder)
{
    usbemu::Config config = usbemu::fast_module();
    config.sensor.busy_samples = GetParam();
    usbemu::Emulator emulator(config);

    const ChildRun run = run_program(time_limit_s);
    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.out, good_report);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");

    const std::vector<usbemu::Request> log = emulator.log();
    const std::vector<std::string> traffic = bit_bang_traffic(log);
    // FT_SetVIDPID, FT_Open, FT_SetTimeouts and FT_Close send no bit-bang request.
    if (GetParam() == 0) {
        EXPECT_EQ(traffic.size(), wex_module::clean_reading_calls - 4);
    }
    EXPECT_EQ(traffic, expected_reading(GetParam()));

    // Opening's own requests (reset, baud rate) all come before the first bit-bang request.
    bool bit_banging = false;
    for (const usbemu::Request &r : log) {
        bit_banging = bit_banging || is_bit_bang(r);
        EXPECT_TRUE(!bit_banging || is_bit_bang(r)) << "request 0x" << hex(r.request, 2) << " amid the bit-banging";
    }

    const usbemu::Counters c = emulator.counters();
    EXPECT_EQ(c.claims, 1u);
    EXPECT_EQ(c.releases, 1u) << "FT_Close did not release the interface";
    EXPECT_EQ(c.stalled, 0u);
    EXPECT_EQ(c.chip.bad_bit_mode, 0u);
    EXPECT_EQ(c.sensor.data_driven_high, 0u);
    EXPECT_EQ(c.sensor.commands, 2u);
    EXPECT_EQ(c.sensor.frames, 2u);
}

INSTANTIATE_TEST_SUITE_P(Sensor, CleanReading, ::testing::Values(0u, 3u),
                         [](const ::testing::TestParamInfo<unsigned> &p) {
                             return p.param == 0 ? std::string("ReadyAtOnce") : "Busy" + std::to_string(p.param);
                         });

struct TimingCase {
    const char *name;
    void (*adjust)(usbemu::Config &);
    unsigned least_polls;   // samples of the data line while the sensor measures, both measurements together
    double least_seconds;   // the two measurements' conversion times, the wire's latency
};

void PrintTo(const TimingCase &c, std::ostream *os)
{
    *os << c.name;
}

class Timing : public ::testing::TestWithParam<TimingCase> {};

// A poll every 100 ms sees each conversion busy at least once; how many times more is the scheduler's to say (a
// loaded machine wakes the poll late), so the conversions' length is bounded by the run's time instead.
TEST_P(Timing, TheSensorTakesItsConversionTimesAndTheWireItsLatency)
{
    usbemu::Config config;
    GetParam().adjust(config);
    usbemu::Emulator emulator(config);

    const ChildRun run = run_program(time_limit_s);
    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.out, good_report);
    const std::vector<std::string> traffic = bit_bang_traffic(emulator.log());
    const auto frame_samples = static_cast<std::ptrdiff_t>(2 * 3 * 8);
    EXPECT_GE(std::count(traffic.begin(), traffic.end(), "pins") - frame_samples, GetParam().least_polls + 2);
    EXPECT_GE(run.seconds, GetParam().least_seconds);
}

INSTANTIATE_TEST_SUITE_P(
    Sensor, Timing,
    ::testing::Values(
        TimingCase{"Typical", [](usbemu::Config &) {}, 2, 0.265},
        TimingCase{"Maximum",
                   [](usbemu::Config &c) { c.sensor = usbemu::timed_sensor(sensor_model::maximum_conversion); }, 2,
                   0.4},
        TimingCase{"ReadyAtOnceWithLatency",
                   [](usbemu::Config &c) {
                       c = usbemu::fast_module();
                       c.latency = std::chrono::milliseconds(2);
                   },
                   0, 0.2 + 257 * 0.002}),
    [](const ::testing::TestParamInfo<TimingCase> &p) { return std::string(p.param.name); });

struct FailureCase {
    const char *name;
    usbemu::Config config;
    std::string out;
    bool waits_out_the_sensor = false;  // twenty samples one hundred milliseconds apart
};

FailureCase failure(const char *name, std::string out, void (*adjust)(usbemu::Config &),
                    bool waits_out_the_sensor = false)
{
    FailureCase c{name, usbemu::fast_module(), std::move(out), waits_out_the_sensor};
    adjust(c.config);
    return c;
}

void PrintTo(const FailureCase &c, std::ostream *os)
{
    *os << c.name;
}

class Failure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(Failure, PrintsItsFailureLinesAndEndsWith255)
{
    const FailureCase &c = GetParam();
    usbemu::Emulator emulator(c.config);

    const ChildRun run = run_program(time_limit_s);
    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.status, 255);
    const usbemu::Counters counters = emulator.counters();
    EXPECT_EQ(counters.releases, counters.claims) << "the device was left claimed";
    if (c.waits_out_the_sensor) {
        const std::vector<std::string> traffic = bit_bang_traffic(emulator.log());
        EXPECT_EQ(std::count(traffic.begin(), traffic.end(), "pins"), 20);
        EXPECT_GE(run.seconds, 2.0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Program, Failure,
    ::testing::Values(
        failure("NoDevice", not_opened, [](usbemu::Config &c) { c.present = false; }),
        failure("BadTemperatureChecksum", wex_test::bad_temperature_checksum,
                [](usbemu::Config &c) { c.sensor.bad_crc = sensor_model::Frame::temperature; }),
        failure("BadHumidityChecksum", wex_test::humidity_failed,
                [](usbemu::Config &c) { c.sensor.bad_crc = sensor_model::Frame::humidity; }),
        failure("SensorNeverFinishes", wex_test::sensor_timed_out,
                [](usbemu::Config &c) { c.sensor.never_ready = true; }, true),
        failure("ClaimedByAnotherProgram",
                wex_test::first_module_claimed + not_opened,
                [](usbemu::Config &c) { c.claimed_elsewhere = true; })),
    [](const ::testing::TestParamInfo<FailureCase> &p) { return std::string(p.param.name); });

struct VanishCase {
    unsigned after;        // transfers answered before the device vanishes
    std::string last_lines;  // how the output must end
};

void PrintTo(const VanishCase &c, std::ostream *os)
{
    *os << "vanish after " << c.after << " transfers";
}

class Vanishing : public ::testing::TestWithParam<VanishCase> {};

// Transfers 1 and 2 are opening's reset and baud rate, 3 to 5 the idle state,
// 6 to 131 the temperature cycle, 132 to 257 the humidity cycle.
TEST_P(Vanishing, EndsWith255QuicklyAndNothingCrossesAfterwards)
{
    const VanishCase &c = GetParam();
    usbemu::Config config = usbemu::fast_module();
    config.vanish_after = c.after;
    usbemu::Emulator emulator(config);

    const ChildRun run = run_program(time_limit_s);
    ASSERT_FALSE(run.timed_out) << "the program hung after the device vanished";
    EXPECT_EQ(run.status, 255);
    EXPECT_LT(run.seconds, 5.0);
    ASSERT_GE(run.out.size(), c.last_lines.size()) << run.out;
    EXPECT_EQ(run.out.substr(run.out.size() - c.last_lines.size()), c.last_lines) << run.out;
    EXPECT_EQ(emulator.log().size(), c.after);
    EXPECT_GT(emulator.counters().refused, 0u);

    // The module has left the bus as an unplugged one does: the next reading finds none.
    EXPECT_TRUE(emulator.counters().unplugged);
    struct stat st{};
    EXPECT_NE(stat((emulator.root_dir() + emulator.node_of(0)).c_str(), &st), 0) << "the device node stayed";
    EXPECT_EQ(run_program(time_limit_s).out, not_opened);
}

INSTANTIATE_TEST_SUITE_P(
    Device, Vanishing,
    ::testing::Values(VanishCase{2, "Could not enable bit-bang mode.\nwex_open failed!\n"},
                      VanishCase{5, "wex_read_temp: FT_GetBitMode failed.\nwex_read_temp failed!\n"},
                      VanishCase{60, "wex_read_temp failed!\n"}, VanishCase{200, "wex_read_hum failed!\n"}),
    [](const ::testing::TestParamInfo<VanishCase> &p) { return "After" + std::to_string(p.param.after); });

std::string copy_to(const std::string &from, const std::string &dir)
{
    std::string to = dir + from.substr(from.rfind('/'));
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary);
    out << in.rdbuf();
    out.close();
    chmod(to.c_str(), 0755);
    return to;
}

// usbfs refuses the node to an unprivileged user. The whole emulation has to
// run as that user, since the testbed's sockets belong to whoever made them,
// from a folder that user can read.
TEST(ClosedDeviceNode, NamesThePermissionFailureBeforeTheDriversLines)
{
    char dir_template[] = "/tmp/usbemu-XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    const std::string dir = dir_template;
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    const std::string tool = copy_to(USBEMU_TOOL, dir);
    const std::string program = copy_to(WEX_PROGRAM, dir);

    std::vector<std::string> argv;
    if (geteuid() == 0) {
        ASSERT_STRNE(USBEMU_SETPRIV, "") << "setpriv is needed to run this test as root";
        argv = {USBEMU_SETPRIV, "--reuid=65534", "--regid=65534", "--clear-groups"};
    }
    argv.insert(argv.end(), {tool, "--node-closed", "--ready-at-once", "--", program});
    const ChildRun run = run_child(
        argv, environment_with({"TMPDIR=/tmp"}, {"LD_PRELOAD", "UMOCKDEV_DIR", "LD_LIBRARY_PATH", "LIBUSB_DEBUG"}),
        time_limit_s);
    std::remove(tool.c_str());
    std::remove(program.c_str());
    rmdir(dir.c_str());

    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.out, "FT_Open: permission denied on USB device /dev/bus/usb/001/002\n" + not_opened) << run.err;
    EXPECT_EQ(run.status, 255);
}

}  // namespace
