#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "commands.h"
#include "failures.h"
#include "range.h"
#include "reading.h"
#include "textfile.h"
#include "wex.h"

using namespace wex_q40;

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();

TEST(Range, GuidelineExamplesAlertWhereTheGuidelinesSay)
{
    struct Case {
        const char *range;
        double value;
        bool alerts;
    };
    // 10: outside 0..10; 10: below 10; ~:10 above 10; 10:20 outside; @10:20 inside; endpoints inside.
    constexpr Case cases[] = {
        {"10", -0.1, true},    {"10", 0, false},       {"10", 10, false},      {"10", 10.1, true},
        {"10:", 9.9, true},    {"10:", 10, false},     {"10:", 1e9, false},    {"~:10", -1e9, false},
        {"~:10", 10, false},   {"~:10", 10.1, true},   {"10:20", 9.9, true},   {"10:20", 10, false},
        {"10:20", 20, false},  {"10:20", 20.1, true},  {"@10:20", 10, true},   {"@10:20", 20, true},
        {"@10:20", 15, true},  {"@10:20", 9.9, false}, {"@10:20", 20.1, false}, {"-5.5:-1", -5.5, false},
        {"-5.5:-1", -5.6, true}, {":5", -0.1, true},   {"@~:0", -40, true},    {"@~:0", 0.1, false},
    };
    for (const auto &c : cases) {
        const auto range = parse_range(c.range);
        ASSERT_TRUE(range) << c.range;
        EXPECT_EQ(range_alerts(*range, c.value), c.alerts) << c.range << " at " << c.value;
        EXPECT_EQ(range->text, c.range);
    }
    const auto open_end = parse_range("10:");
    ASSERT_TRUE(open_end);
    EXPECT_EQ(open_end->end, inf);
    EXPECT_EQ(parse_range("~:10")->start, -inf);
}

TEST(Range, InvalidRangesAreRejected)
{
    for (const char *text : {"", "@", "20:10", "@20:10", "10:~", "abc", "1e3", "0x10", "10:20:30", " 10", "10 ",
                             "10:a", "~", "--1", "1.2.3", "nan", "inf:", ".", "-", "@@10"})
        EXPECT_FALSE(parse_range(text)) << '"' << text << '"';
}

TEST(Report, OnlyThePrintedFormsOfAGoodReadingPass)
{
    struct Case {
        const char *out;
        bool parses;
        bool plausible;
    };
    const std::string digits400(400, '9');
    const std::string huge = "Temperature: " + digits400 + ".0C, 32.0F\nHumidity: 41.5%\nDewpoint: 8.7C, 47.6F\n";
    const Case cases[] = {
        {"Temperature: 22.4C, 72.3F\nHumidity: 41.5%\nDewpoint: 8.7C, 47.6F\n", true, true},
        {"Temperature: 22.4C, 72.3F\nHumidity: -1.0%\nDewpoint: nanC, nanF\n", true, false},
        {"Temperature: 22.4C, 72.3F\nHumidity: -0.1%\nDewpoint: -nanC, -nanF\n", true, false},
        {"Temperature: 22.4C, 72.3F\nHumidity: 0.0%\nDewpoint: -infC, -infF\n", true, true},
        {"Temperature: -40.0C, -40.0F\nHumidity: -0.0%\nDewpoint: nanC, nanF\n", true, true},
        {"Temperature: -0.0C, 32.0F\nHumidity: 0.0%\nDewpoint: -0.0C, 31.9F\n", true, true},
        {"Temperature: 123.8C, 254.8F\nHumidity: 119.1%\nDewpoint: 127.9C, 262.2F\n", true, false},
        {"Temperature: 22.4C, 72.3F\nHumidity: 41.5%\nDewpoint: 22.5C, 72.5F\n", true, false},
        {"Temperature: 123.9C, 255.0F\nHumidity: 50.0%\nDewpoint: 8.7C, 47.6F\n", true, false},
        {"Temperature: -40.1C, -40.2F\nHumidity: 50.0%\nDewpoint: 8.7C, 47.6F\n", true, false},
        {"Temperature: 22.4C, 72.3F\nHumidity: 119.3%\nDewpoint: 8.7C, 47.6F\n", true, false},
        {"Temperature: 22.4C, 72.3F\nHumidity: -4.8%\nDewpoint: nanC, nanF\n", true, false},
        {"Temperature: 615.4C, 1139.6F\nHumidity: -9060.0%\nDewpoint: nanC, nanF\n", true, false},
        {"Temperature: 22.4C, 72.3F\nHumidity: 41.5%\nDewpoint: 8.7C, 47.6F", false, false},
        {"Temperature: 22.4C, 72.3F\nHumidity: 41.5%\nDewpoint: 8.7C, 47.6F\n\n", false, false},
        {"Temperature: 22.4C, 72.3F\nHumidity: 41.5%\nDewpoint: 8.7C, 47.6F\nwex_close failed!\n", false, false},
        {"Temperature: 22.4C, 72.3F\r\nHumidity: 41.5%\nDewpoint: 8.7C, 47.6F\n", false, false},
        {"Temperature: 22.40C, 72.3F\nHumidity: 41.5%\nDewpoint: 8.7C, 47.6F\n", false, false},
        {"Temperature: 22C, 72.3F\nHumidity: 41.5%\nDewpoint: 8.7C, 47.6F\n", false, false},
        {"Temperature: 022.4C, 72.3F\nHumidity: 41.5%\nDewpoint: 8.7C, 47.6F\n", false, false},
        {"Temperature: +22.4C, 72.3F\nHumidity: 41.5%\nDewpoint: 8.7C, 47.6F\n", false, false},
        {"Temperature: 2.24e1C, 72.3F\nHumidity: 41.5%\nDewpoint: 8.7C, 47.6F\n", false, false},
        {"Temperature: 22.4C, 99.9F\nHumidity: 41.5%\nDewpoint: 8.7C, 47.6F\n", false, false},
        {"Temperature: nanC, nanF\nHumidity: 41.5%\nDewpoint: 8.7C, 47.6F\n", false, false},
        {"Temperature: 22.4C, 72.3F\nHumidity: nan%\nDewpoint: 8.7C, 47.6F\n", false, false},
        {"Temperature: 22.4C, 72.3F\nHumidity: 41.5%\nDewpoint: nanC, -nanF\n", false, false},
        {"Temperature: 22.4C, 72.3F\nHumidity: 41.5 %\nDewpoint: 8.7C, 47.6F\n", false, false},
        {"Temperature: 22.4C, 72.3F\nHumidity: 41.5% \nDewpoint: 8.7C, 47.6F\n", false, false},
        {"Temperature: 22.4C, 72.3F\nHumidity: 41.5%\nDewpoint: 8.7.1C, 47.6F\n", false, false},
        {"Temperature: 22.4C, 72.3F\nHumidity: 41.5%\n", false, false},
        {"Humidity: 41.5%\nTemperature: 22.4C, 72.3F\nDewpoint: 8.7C, 47.6F\n", false, false},
        {"wex_open: FT_Open failed to open WEX-Q40 device.\nwex_open failed!\n", false, false},
        {"", false, false},
        {huge.c_str(), false, false},
    };
    for (const auto &c : cases) {
        auto values = parse_report(c.out);
        ASSERT_EQ(values.has_value(), c.parses) << c.out;
        if (values) {
            EXPECT_EQ(settle(*values).empty(), c.plausible) << c.out;
        }
    }
    const auto v = parse_report(cases[0].out);
    EXPECT_EQ(v->temperature, "22.4");
    EXPECT_EQ(v->humidity, "41.5");
    EXPECT_EQ(v->dewpoint, "8.7");
    EXPECT_DOUBLE_EQ(v->dewpoint_c, 8.7);
    EXPECT_FALSE(parse_report(cases[1].out)->dewpoint_is_number);
    auto far_off = parse_report("Temperature: 615.4C, 1139.6F\nHumidity: -9060.0%\nDewpoint: nanC, nanF\n");
    ASSERT_TRUE(far_off);
    EXPECT_EQ(settle(*far_off), "implausible reading: temperature 615.4 C");
}

std::string printed(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

std::string report_for(std::uint16_t raw_temperature, std::uint16_t raw_humidity)
{
    const double c = wex_celsius_from_raw(raw_temperature);
    const double h = wex_humidity_from_raw(raw_humidity, c);
    const double d = wex_dewpoint(c, h);
    return "Temperature: " + printed(c) + "C, " + printed(c * 1.8 + 32) + "F\nHumidity: " + printed(h) +
           "%\nDewpoint: " + printed(d) + "C, " + printed(d * 1.8 + 32) + "F\n";
}

// Through the driver's own conversions, at 30.0 C: what becomes of each humidity.
TEST(Report, HumidityBelowZeroOrBeyondTheToleranceIsAFaultAndSaturationIsOneHundred)
{
    struct Case {
        std::uint16_t word;
        const char *printed;  // as the program prints it
        const char *problem;  // empty: plausible
        const char *humidity;
        const char *dewpoint;
    };
    const Case cases[] = {
        {0, "-4.0", "implausible reading: humidity -4.0 %", "", ""},
        {95, "-0.1", "implausible reading: humidity -0.1 %", "", ""},
        {98, "-0.0", "", "0.0", "nan"},
        {1500, "50.6", "", "50.6", "18.6"},
        {3330, "100.0", "", "100.0", "30.0"},
        {3348, "100.4", "", "100.0", "30.0"},
        {3543, "104.5", "", "100.0", "30.0"},
        {3544, "104.6", "implausible reading: humidity 104.6 %", "", ""},
        {0x1000, "115.1", "implausible reading: humidity 115.1 %", "", ""},
    };
    for (const auto &c : cases) {
        const std::string out = report_for(7000, c.word);
        auto values = parse_report(out);
        ASSERT_TRUE(values) << out;
        ASSERT_NE(out.find("Humidity: " + std::string(c.printed) + "%"), std::string::npos) << out;
        EXPECT_EQ(settle(*values), c.problem) << out;
        if (*c.problem == '\0') {
            EXPECT_EQ(values->humidity, c.humidity) << out;
            EXPECT_EQ(values->dewpoint_is_number ? values->dewpoint : "nan", c.dewpoint) << out;
        }
    }
}

// Every word the sensor can send, at the extreme temperatures: plausible exactly
// when 0 <= RH <= 104.5, and then never a dew point above the air.
TEST(Report, EveryWordTheSensorCanSendIsJudgedByItsHumidity)
{
    for (const std::uint16_t raw_temperature : {std::uint16_t{0}, std::uint16_t{6500}, std::uint16_t{0x3FFF}}) {
        for (std::uint16_t raw = 0; raw <= 0x0FFF; ++raw) {
            const std::string out = report_for(raw_temperature, raw);
            auto values = parse_report(out);
            ASSERT_TRUE(values) << out;
            ASSERT_TRUE(dewpoint_follows(*values)) << out;
            const bool in_range = values->humidity_percent >= 0.0 && values->humidity_percent <= 104.5;
            ASSERT_EQ(settle(*values).empty(), in_range) << out;
            if (in_range && values->dewpoint_is_number) {
                ASSERT_LE(values->dewpoint_c, values->temperature_c) << out;
            }
        }
    }
    // 0x4000 still prints as 123.8; 0x4005 is the first word above 14 bits that prints apart.
    auto hot = parse_report(report_for(0x4005, 1500));
    ASSERT_TRUE(hot);
    EXPECT_EQ(settle(*hot).rfind("implausible reading: temperature", 0), 0u);
}

// Values edited apart from each other, and the edges of what printing rounds.
TEST(Report, ADewPointThatCannotFollowFromTheOtherTwoIsRefused)
{
    struct Case {
        double temperature;
        const char *humidity;
        const char *dewpoint;
        bool follows;
    };
    constexpr Case cases[] = {
        {30.0, "50.6", "18.6", true},   {99.0, "50.6", "18.6", false}, {30.0, "50.6", "18.8", false},
        {30.0, "50.6", "18.4", false},  {30.0, "95.0", "18.6", false}, {30.0, "0.0", "nan", true},
        {30.0, "0.0", "-inf", true},    {30.0, "5.0", "nan", false},   {30.0, "0.0", "-60.0", true},
        {30.0, "0.0", "-20.0", false},  {-40.0, "100.0", "-40.0", true}, {123.8, "104.5", "125.2", true},
        {123.8, "104.5", "124.9", false}, {30.0, "50.6", "18.5", false}, {30.0, "50.6", "18.7", true},
    };
    for (const Case &c : cases) {
        const std::string d = c.dewpoint;
        const bool number = d.find_first_of("0123456789") != std::string::npos;
        const std::string out = "Temperature: " + printed(c.temperature) + "C, " + printed(c.temperature * 1.8 + 32) +
                                "F\nHumidity: " + c.humidity + "%\nDewpoint: " + d + "C, " +
                                (number ? printed(std::stod(d) * 1.8 + 32) : d) + "F\n";
        const auto values = parse_report(out);
        ASSERT_TRUE(values) << out;
        EXPECT_EQ(dewpoint_follows(*values), c.follows) << out;
    }
}

// Each known failure by the program's own lines, as the driver and the open backend print them.
TEST(Failures, TheProgramsLinesNameWhatHappenedAndWhetherToTryAgain)
{
    struct Case {
        std::vector<std::string> lines;
        const char *summary;
        bool permanent;
    };
    const Case cases[] = {
        {{"FT_Open: permission denied on USB device /dev/bus/usb/001/004", "wex_open: FT_Open failed to open WEX-Q40 device.",
          "wex_open failed!"},
         "permission denied on /dev/bus/usb/001/004", true},
        {{"FT_Open: USB device /dev/bus/usb/001/002 is claimed by another program",
          "wex_open: FT_Open failed to open WEX-Q40 device.", "wex_open failed!"},
         "/dev/bus/usb/001/002 is claimed by another program", false},
        {{"wex_open: FT_Open failed to open WEX-Q40 device.", "wex_open failed!"},
         "no WEX-Q40 module found (USB 0403:fbf9)", true},
        {{"wex_init: cannot load libftd2xx.so: libftd2xx.so: cannot open shared object file", "wex_init failed!"},
         "no USB library to reach the module", true},
        {{"wex_init failed!"}, "the USB library rejected the module's IDs", true},
        {{"wex_set_clear_bit: Write to wex-q40 failed (4)", "wex_read_temp: Bad CRC. Temp reading failed.",
          "wex_read_temp failed!"},
         "checksum mismatch in the temperature frame", false},
        {{"wex_read_temp: Timed out waiting for the sensor.", "wex_read_temp failed!"},
         "the sensor did not answer within 2 s", false},
        {{"wex_read_hum failed!"}, "the humidity reading failed", false},
        {{"wex_set_clear_bit: Write to wex-q40 failed (4)", "wex_open failed!"}, "a USB write to the module failed",
         false},
    };
    for (const auto &c : cases) {
        const auto d = diagnose_failure(c.lines, false);
        ASSERT_TRUE(d) << c.lines.front();
        EXPECT_EQ(d->summary, c.summary);
        EXPECT_EQ(d->permanent, c.permanent) << c.summary;
        EXPECT_FALSE(d->advice.empty()) << c.summary;
        EXPECT_LE(d->summary.size() + std::string("WEX-Q40 UNKNOWN - ").size(), 80u) << d->summary;
    }
    // A conversion stands for text only where the program's format has one; the fixed text around it must be there.
    for (const char *near_miss : {"something else entirely", "FT_Open: USB device /dev/bus/usb/001/002 is gone",
                                  "wex_set_clear_bit: Write to wex-q40 failed", "wex_read_temp: Bad CRC.",
                                  "wex_init: cannot load", " wex_read_hum failed!"})
        EXPECT_FALSE(diagnose_failure({near_miss}, false)) << near_miss;
}

// Advice that sends the user to diagnose is given as it is by every other command; diagnose says what to do instead.
TEST(Failures, AdviceNeverSendsDiagnoseToItself)
{
    const std::vector<std::vector<std::string>> failures = {
        {"wex_open: FT_Open failed to open WEX-Q40 device.", "wex_open failed!"},
        {"FT_Open: permission denied on USB device /dev/bus/usb/001/004", "wex_open failed!"},
        {"wex_read_hum failed!"},
    };
    std::size_t pointing = 0;
    for (const auto &lines : failures) {
        const std::string elsewhere = diagnose_failure(lines, false)->advice;
        const bool points = elsewhere.find("wex-q40 diagnose") != std::string::npos;
        pointing += points ? 1 : 0;
        const std::string own = diagnose_failure(lines, true)->advice;
        if (points)
            EXPECT_EQ(own.find("diagnose"), std::string::npos) << own;
        else
            EXPECT_EQ(own, elsewhere);
    }
    EXPECT_EQ(pointing, 1u);
}

TEST(Report, QuotedLinesAreBoundedPrintableText)
{
    const auto lines = quotable_lines(std::string(300, 'x') + "\n\x01\xff" + "ok\n" + std::string(40, '\n'));
    ASSERT_EQ(lines.size(), 21u);
    EXPECT_EQ(lines[0], std::string(200, 'x') + "...");
    EXPECT_EQ(lines[1], "??ok");
    EXPECT_EQ(lines.back(), "...");
}

TEST(Textfile, OnlyAWellFormedOldTimestampIsKept)
{
    struct Case {
        std::string old_file;
        std::optional<std::string> kept;
    };
    const std::string name = "wex_q40_last_success_timestamp_seconds ";
    const Case cases[] = {
        {"# HELP x\n" + name + "1700000000\n", "1700000000"},
        {name + "1700000000\n" + name + "1800000000\n", "1700000000"},
        {name + "17000x0000\n" + name + "1800000000", "1800000000"},
        {name + "1700000000 123\n", std::nullopt},
        {" " + name + "1700000000\n", std::nullopt},
        {name + "-1\n", std::nullopt},
        {name + "\n", std::nullopt},
        {name + std::string(400, '9') + "\n", std::nullopt},
        {name + "1.7e9\n", std::nullopt},
        {"wex_q40_read_success 0\n", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto &c : cases)
        EXPECT_EQ(previous_success(c.old_file), c.kept) << c.old_file.substr(0, 80);
}

}  // namespace
