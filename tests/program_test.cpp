// The real program against the virtual module: standard output byte for byte and the exit status.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "module_facts.h"
#include "program_output.h"
#include "run_program.h"

namespace {

using wex_test::bad_temperature_checksum;
using wex_test::humidity_failed;
using wex_test::sensor_timed_out;
const std::string &good_report = wex_test::default_reading;

struct Case {
    const char *name;
    std::vector<std::string> env;
    std::string out;
    int status;
};

const Case cases[] = {
    {"clean_reading", {}, good_report, 0},
    {"busy_sensor", {"VWEX_BUSY=3"}, good_report, 0},
    {"physical_values", {"VWEX_TEMP=21.5", "VWEX_HUM=40"},
     "Temperature: 21.5C, 70.7F\nHumidity: 40.0%\nDewpoint: 7.3C, 45.2F\n", 0},
    {"minus_forty", {"VWEX_RAW_TEMP=0", "VWEX_RAW_HUM=0x5DC"},
     "Temperature: -40.0C, -40.0F\nHumidity: 49.0%\nDewpoint: -46.6C, -51.8F\n", 0},
    {"dew_point_not_a_number", {"VWEX_RAW_HUM=0"},
     "Temperature: 30.0C, 86.0F\nHumidity: -4.0%\nDewpoint: nanC, nanF\n", 0},
    {"no_module", {"VWEX_ABSENT=1"}, wex_test::not_opened, 255},
    {"ids_rejected", {"VWEX_FAIL=FT_SetVIDPID:1"}, "wex_init failed!\n", 255},
    {"timeouts_rejected", {"VWEX_FAIL=FT_SetTimeouts:1"}, "wex_open failed!\n", 255},
    {"bit_bang_rejected", {"VWEX_FAIL=FT_SetBitMode:1"}, "Could not enable bit-bang mode.\nwex_open failed!\n", 255},
    {"bad_temperature_checksum", {"VWEX_BAD_CRC=temp"}, bad_temperature_checksum, 255},
    {"bad_humidity_checksum", {"VWEX_BAD_CRC=hum"}, humidity_failed, 255},
    {"temperature_poll_fails", {"VWEX_FAIL=FT_GetBitMode:1"}, "wex_read_temp: FT_GetBitMode failed.\nwex_read_temp failed!\n",
     255},
    // 1 poll and 24 bit samples in the temperature cycle; the 26th sample is the humidity poll.
    {"humidity_poll_fails", {"VWEX_FAIL=FT_GetBitMode:26"}, humidity_failed, 255},
    {"sensor_never_finishes", {"VWEX_BUSY=forever"}, sensor_timed_out, 255},
    {"sensor_never_answers", {"VWEX_MUTE=1"}, sensor_timed_out, 255},
    // The write that lowers the clock in wex_open fails, but the pins already rest there.
    {"idle_write_fails", {"VWEX_FAIL=FT_Write:1"}, "wex_set_clear_bit: Write to wex-q40 failed (4)\n" + good_report, 0},
    {"close_fails", {"VWEX_FAIL=FT_Close:1"}, good_report + "wex_close failed!\n", 255},
};

void PrintTo(const Case &c, std::ostream *os)
{
    *os << c.name;
}

class Program : public ::testing::TestWithParam<Case> {};

TEST_P(Program, PrintsExactlyItsLinesInBoundedTimeAndLeavesNothingOpen)
{
    const Case &c = GetParam();
    const Outcome run = run_program(WEX_PROGRAM, {}, c.env, WEX_VMODULE_DIR, 10.0);
    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.err, "");
    // A time-out comes after 20 polls 100 ms apart, and nothing takes much longer.
    if (c.out == sensor_timed_out) {
        EXPECT_GE(run.seconds, 1.9);
    }
    EXPECT_LT(run.seconds, 5.0);
    ASSERT_TRUE(run.report.count("calls")) << "the virtual module wrote no report";
    const bool close_failed = c.env == std::vector<std::string>{"VWEX_FAIL=FT_Close:1"};
    EXPECT_EQ(run.report.at("open_handles"), close_failed ? 1u : 0u);
    EXPECT_EQ(run.report.at("data_driven_high"), 0u);
    EXPECT_EQ(run.report.at("data_changed_clock_high"), 0u);
    EXPECT_EQ(run.report.at("bad_bit_mode"), 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, Program, ::testing::ValuesIn(cases),
                         [](const testing::TestParamInfo<Case> &param) { return std::string(param.param.name); });

TEST(ProgramRun, CleanReadingMakesItsCallsAndArgumentsChangeNothing)
{
    const Outcome run = run_program(WEX_PROGRAM, {"--help", "-x"}, {}, WEX_VMODULE_DIR, 10.0);
    EXPECT_EQ(run.out, good_report);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.report.at("calls"), wex_module::clean_reading_calls);
    EXPECT_EQ(run.report.at("frames"), 2u);
}

// The same two lines end a run with no loadable library in a build without the open backend.
TEST(ProgramRun, LibraryLackingAFunctionIsRefused)
{
    const Outcome run = run_program(WEX_PROGRAM, {}, {}, WEX_BROKEN_D2XX_DIR, 10.0);
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.out, "wex_init: cannot load libftd2xx.so: " WEX_BROKEN_D2XX_DIR
                       "/libftd2xx.so: undefined symbol: FT_GetBitMode\nwex_init failed!\n");
}

}  // namespace
