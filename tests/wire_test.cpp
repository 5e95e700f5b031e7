// The driver against the virtual module in process: what crosses the wire.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "line_script.h"
#include "module_facts.h"
#include "vwex.h"
#include "wex.h"

using vmodule::Call;
using vmodule::Function;
using vmodule::ModuleConfig;

namespace {

int poll_sleeps = 0;

std::string hex(unsigned v)
{
    char text[16];
    std::snprintf(text, sizeof text, "%02x", v);
    return text;
}

std::string describe(const Call &call)
{
    std::string s;
    switch (call.function) {
    case Function::set_vid_pid: s = "SetVIDPID(" + hex(call.a) + "," + hex(call.b) + ")"; break;
    case Function::open: s = "Open(" + std::to_string(call.a) + ")"; break;
    case Function::set_timeouts: s = "SetTimeouts(" + std::to_string(call.b) + "," + std::to_string(call.c) + ")"; break;
    case Function::set_bit_mode: s = "SetBitMode(" + hex(call.b) + "," + hex(call.c) + ")"; break;
    case Function::get_bit_mode: s = "GetBitMode"; break;
    case Function::write:
        s = "Write(";
        for (auto byte : call.data)
            s += hex(byte);
        s += ")";
        break;
    case Function::close: s = "Close"; break;
    case Function::any: s = "?"; break;
    }
    return call.status == 0 ? s : s + "=" + std::to_string(call.status);
}

std::vector<std::string> calls_since(std::size_t first)
{
    std::vector<std::string> out;
    const auto &log = vmodule::vwex_calls();
    for (std::size_t i = first; i < log.size(); ++i)
        out.push_back(describe(log[i]));
    return out;
}

// The sensor protocol's line actions as the calls the virtual module logs.
struct CallNames {
    static std::string set_bit_mode(unsigned mask, unsigned mode)
    {
        return "SetBitMode(" + hex(mask) + "," + hex(mode) + ")";
    }
    static std::string write(unsigned pins) { return "Write(" + hex(pins) + ")"; }
    static std::string read_pins() { return "GetBitMode"; }
};

struct Expected {
    wex_test::Recorder<CallNames> calls;
    wex_test::LineScript<wex_test::Recorder<CallNames>> wire{calls};
};

class Wire : public ::testing::Test {
protected:
    void SetUp() override { configure(ModuleConfig{}); }
    void TearDown() override
    {
        const auto counters = vmodule::vwex_counters();
        EXPECT_EQ(counters.sensor.data_driven_high, 0u) << "the driver drove the data line high";
        EXPECT_EQ(counters.sensor.data_changed_clock_high, 0u);
        EXPECT_EQ(counters.chip.bad_bit_mode, 0u);
    }
    void configure(const ModuleConfig &config)
    {
        vmodule::vwex_configure(config);
        poll_sleeps = 0;
    }
    static ModuleConfig failing(Function function, unsigned call)
    {
        ModuleConfig config;
        config.fail_function = function;
        config.fail_call = call;
        return config;
    }
    void open(wex &record)
    {
        ASSERT_EQ(wex_init(&record), 0);
        ASSERT_EQ(wex_open(&record), 0);
    }

    wex w{};
};

TEST_F(Wire, CleanReadingIsExactlyTheCallsOfTheProtocol)
{
    open(w);
    ASSERT_EQ(wex_read_temp(&w), 0);
    ASSERT_EQ(wex_read_hum(&w), 0);
    ASSERT_EQ(wex_close(&w), 0);

    Expected e;
    e.calls.traffic = {"SetVIDPID(403,fbf9)", "Open(0)", "SetTimeouts(25,25)"};
    e.wire.open();
    e.wire.measure(wex_module::command_temperature);
    e.wire.measure(wex_module::command_humidity);
    e.calls.traffic.push_back("Close");
    EXPECT_EQ(e.calls.traffic.size(), wex_module::clean_reading_calls);
    EXPECT_EQ(calls_since(0), e.calls.traffic);
    EXPECT_EQ(poll_sleeps, 2) << "even a sensor ready at once costs one sleep per cycle";
    EXPECT_DOUBLE_EQ(w.temperature, 30.0);
    EXPECT_NEAR(w.humidity, 50.56, 5e-5);
    EXPECT_NEAR(w.dewpoint, 18.6006, 5e-5);
    EXPECT_EQ(vmodule::vwex_counters().open_handles, 0u);
    EXPECT_EQ(vmodule::vwex_counters().sensor.frames, 2u);
}

TEST_F(Wire, BusySensorIsPolledUntilReadyAndWorkedValuesComeOut)
{
    ModuleConfig config;
    config.sensor.raw_temperature = 6500;
    config.sensor.raw_humidity = 1200;
    config.sensor.busy_samples = 19;  // the 20th sample is the last one the driver takes
    configure(config);
    open(w);
    ASSERT_EQ(wex_read_temp(&w), 0);
    ASSERT_EQ(wex_read_hum(&w), 0);
    EXPECT_EQ(poll_sleeps, 40);
    EXPECT_DOUBLE_EQ(w.temperature, 25.0);
    EXPECT_NEAR(w.humidity, 40.568, 1e-9);
    EXPECT_NEAR(w.dewpoint, 10.6605, 5e-5);
}

TEST_F(Wire, CommandByteIsNineDirectionChangesAndTwentyFourPinWrites)
{
    open(w);
    const std::size_t first = vmodule::vwex_calls().size();
    ASSERT_EQ(wex_write_byte(&w, 0x03), 0);
    Expected e;
    e.wire.write_byte(0x03);
    const auto sent = calls_since(first);
    EXPECT_EQ(sent, e.calls.traffic);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "SetBitMode(ff,ff)") +
                  std::count(sent.begin(), sent.end(), "SetBitMode(fd,ff)"),
              9);
    EXPECT_EQ(std::count_if(sent.begin(), sent.end(), [](const std::string &c) { return c.rfind("Write", 0) == 0; }),
              24);
}

TEST_F(Wire, ReadingAReleasedLineGivesOnesAndTheLastByteIsNeverAcknowledged)
{
    open(w);
    const std::size_t first = vmodule::vwex_calls().size();
    EXPECT_EQ(wex_read_byte(&w, 1), 0xFF);
    Expected e;
    e.wire.read_byte(true);
    EXPECT_EQ(calls_since(first), e.calls.traffic);
    for (const auto &c : calls_since(first))
        EXPECT_NE(c, "SetBitMode(ff,ff)") << "the data line was driven after the last byte";
}

TEST_F(Wire, NothingReachesTheLibraryOnARecordThatIsNotOpen)
{
    ASSERT_EQ(wex_init(&w), 0);
    const std::size_t first = vmodule::vwex_calls().size();
    testing::internal::CaptureStdout();
    EXPECT_EQ(wex_reset_sensor(&w), -1);
    EXPECT_EQ(wex_write_byte(&w, 0x03), -1);
    EXPECT_EQ(wex_read_byte(&w, 0), 0xFF);
    EXPECT_EQ(wex_read_temp(&w), -1);
    EXPECT_EQ(wex_read_hum(&w), -1);
    EXPECT_EQ(wex_close(&w), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(wex_set_data_direction(&w, 1), -1);
    EXPECT_EQ(wex_set_data_direction(nullptr, 0), -1);
    EXPECT_EQ(calls_since(first).size(), 0u);
}

TEST_F(Wire, OpenTwiceOpensOnceAndInitFailureKeepsFtOpenUncalled)
{
    open(w);
    const std::size_t after_open = vmodule::vwex_calls().size();
    EXPECT_EQ(wex_open(&w), 0);
    EXPECT_EQ(vmodule::vwex_calls().size(), after_open);
    EXPECT_EQ(w.port, 0) << "the interface rests with every pin low but the released data line";

    configure(failing(Function::set_vid_pid, 1));
    wex fresh{};
    EXPECT_EQ(wex_init(&fresh), -1);
    EXPECT_EQ(fresh.initialized, 0);
    EXPECT_EQ(fresh.open, 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(wex_open(&fresh), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "wex_open: wex structure not initialized, cannot open.\n");
    EXPECT_EQ(calls_since(0), std::vector<std::string>{"SetVIDPID(403,fbf9)=4"});
}

TEST_F(Wire, FailedOpenStepsCloseTheHandleTheyGot)
{
    ModuleConfig absent;
    absent.absent = true;
    const struct {
        ModuleConfig config;
        std::string printed;
        std::vector<std::string> calls;  // after FT_SetVIDPID
    } cases[] = {
        {failing(Function::set_timeouts, 1), "", {"Open(0)", "SetTimeouts(25,25)=4", "Close"}},
        {failing(Function::set_bit_mode, 1), "Could not enable bit-bang mode.\n",
         {"Open(0)", "SetTimeouts(25,25)", "SetBitMode(ff,ff)=4", "Close"}},
        {absent, "wex_open: FT_Open failed to open WEX-Q40 device.\n", {"Open(0)=2"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.calls.back());
        configure(c.config);
        ASSERT_EQ(wex_init(&w), 0);
        testing::internal::CaptureStdout();
        EXPECT_EQ(wex_open(&w), -1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);
        EXPECT_EQ(calls_since(1), c.calls);
        EXPECT_EQ(vmodule::vwex_counters().open_handles, 0u);
        EXPECT_EQ(w.open, 0);
    }
}

TEST_F(Wire, FailedCloseKeepsTheRecordOpenForAnotherTry)
{
    configure(failing(Function::close, 1));
    open(w);
    EXPECT_EQ(wex_close(&w), -1);
    EXPECT_EQ(w.open, 1);
    EXPECT_EQ(wex_close(&w), 0);
    EXPECT_EQ(w.open, 0);
    EXPECT_EQ(vmodule::vwex_counters().open_handles, 0u);
}

TEST_F(Wire, PinWritesChangeOneBitAndReportFailures)
{
    configure(failing(Function::write, 2));  // the first pin write after the one of wex_open
    open(w);
    const std::size_t first = vmodule::vwex_calls().size();
    EXPECT_EQ(wex_set_clear_bit(&w, 1, 8), -1);
    EXPECT_EQ(wex_set_clear_bit(&w, 1, -1), -1);
    EXPECT_EQ(wex_set_clear_bit(nullptr, 1, 0), -1);
    EXPECT_EQ(w.port, 0);
    EXPECT_EQ(calls_since(first).size(), 0u);

    testing::internal::CaptureStdout();
    EXPECT_EQ(wex_set_clear_bit(&w, 1, 4), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "wex_set_clear_bit: Write to wex-q40 failed (4)\n");
    EXPECT_EQ(w.port, 0x10) << "a failed write keeps the new bit in the image";
    EXPECT_EQ(wex_set_clear_bit(&w, 1, 0), 0);
    EXPECT_EQ(wex_set_clear_bit(&w, 1, 0), 0);
    EXPECT_EQ(wex_set_clear_bit(&w, 0, 4), 0);
    EXPECT_EQ(calls_since(first), (std::vector<std::string>{"Write(10)=4", "Write(11)", "Write(11)", "Write(01)"}));
}

TEST_F(Wire, DataDirectionReleasesWithoutWritingAndDrivesLowOtherwise)
{
    open(w);
    const std::size_t first = vmodule::vwex_calls().size();
    EXPECT_EQ(wex_set_data_direction(&w, 1), 0);
    EXPECT_EQ(wex_set_data_direction(&w, 2), 0);
    EXPECT_EQ(wex_set_data_direction(&w, 0), 0);
    EXPECT_EQ(calls_since(first), (std::vector<std::string>{"SetBitMode(fd,ff)", "SetBitMode(ff,ff)", "Write(00)",
                                                            "SetBitMode(ff,ff)", "Write(00)"}));
}

TEST_F(Wire, BadChecksumStoresTheFailureValueOfThatMeasurementOnly)
{
    ModuleConfig config;
    config.sensor.bad_crc = sensor_model::Frame::temperature;
    configure(config);
    open(w);
    w.humidity = 12.0;
    w.dewpoint = 3.0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(wex_read_temp(&w), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "wex_read_temp: Bad CRC. Temp reading failed.\n");
    EXPECT_EQ(w.temperature, 999.0);
    EXPECT_EQ(w.humidity, 12.0);
    EXPECT_EQ(w.dewpoint, 3.0);

    config.sensor.bad_crc = sensor_model::Frame::humidity;
    configure(config);
    open(w);
    ASSERT_EQ(wex_read_temp(&w), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(wex_read_hum(&w), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(w.humidity, 999.0);
    EXPECT_EQ(w.temperature, 30.0);
    EXPECT_EQ(w.dewpoint, 3.0);
}

TEST_F(Wire, WaitGivesUpAfterTwentyBusySamples)
{
    for (bool mute : {false, true}) {
        ModuleConfig config;
        config.sensor.never_ready = !mute;
        config.sensor.mute = mute;
        configure(config);
        open(w);
        w.temperature = 21.0;
        testing::internal::CaptureStdout();
        EXPECT_EQ(wex_read_temp(&w), -1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "wex_read_temp: Timed out waiting for the sensor.\n");
        EXPECT_EQ(poll_sleeps, 20);
        EXPECT_EQ(w.temperature, 21.0);
        EXPECT_EQ(wex_read_hum(&w), -1);
        EXPECT_EQ(poll_sleeps, 40);
        const auto calls = calls_since(0);
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "GetBitMode"), 40);
        EXPECT_EQ(wex_close(&w), 0);
    }
}

TEST_F(Wire, BusySampleLeftInTheImageNeverDrivesTheDataLineHigh)
{
    open(w);
    w.port = WEX_DATA_MASK;  // as a failed wait leaves it
    ASSERT_EQ(wex_read_temp(&w), 0);
    ASSERT_EQ(wex_read_hum(&w), 0);
    for (const auto &call : vmodule::vwex_calls())
        for (auto byte : call.data)
            EXPECT_EQ(byte & WEX_DATA_MASK, 0) << "a pin write carried the data bit";
}

TEST_F(Wire, FailedPollLeavesTheReadingAsItWas)
{
    configure(failing(Function::get_bit_mode, 1));
    open(w);
    w.temperature = 21.0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(wex_read_temp(&w), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "wex_read_temp: FT_GetBitMode failed.\n");
    EXPECT_EQ(w.temperature, 21.0);
    EXPECT_EQ(poll_sleeps, 0);
}

}  // namespace

// The 100 ms poll sleep, counted instead of slept.
void wex_poll_sleep()
{
    ++poll_sleeps;
}
