#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "calibration.h"
#include "companion_support.h"
#include "wex.h"

using namespace wex_q40;

namespace {

// The sensor maker's conversion of a 12-bit humidity word, written here apart from the code under test.
double maker_humidity(double word, double celsius)
{
    return (celsius - 25.0) * (0.01 + 0.00008 * word) + (-4.0 + 0.0405 * word - 0.0000028 * word * word);
}

// Water vapour pressure in hPa at this temperature and humidity, by the Magnus formula in its exponential form.
double vapour_hpa(double celsius, double humidity)
{
    return humidity / 100.0 * 6.112 * std::exp(std::log(10.0) * 7.5 * celsius / (celsius + 237.7));
}

double humidity_of(double celsius, double vapour)
{
    return 100.0 * vapour / vapour_hpa(celsius, 100.0);
}

// What the program prints and wex-q40 settles for the sensor's words.
Values program_values(std::uint16_t raw_temperature, std::uint16_t raw_humidity)
{
    const double t = wex_celsius_from_raw(raw_temperature);
    const double rh = wex_humidity_from_raw(raw_humidity, t);
    const double dp = wex_dewpoint(t, rh);
    char report[200];
    std::snprintf(report, sizeof report, "Temperature: %.1fC, %.1fF\nHumidity: %.1f%%\nDewpoint: %.1fC, %.1fF\n", t,
                  t * 1.8 + 32, rh, dp, dp * 1.8 + 32);
    auto values = parse_report(report);
    EXPECT_TRUE(values) << report;
    EXPECT_EQ(settle(*values), "") << report;
    return *values;
}

Calibration settings(double t_offset, double gain, double h_offset, bool sensor)
{
    Calibration c;
    c.file = "/etc/wex-q40/calibration";
    c.temperature_offset_c = t_offset;
    c.humidity_gain = gain;
    c.humidity_offset_percent = h_offset;
    c.sensor_compensation = sensor;
    return c;
}

// From printed values, which are within half a digit, to printed values.
constexpr double printed_twice = 0.1 + 1e-9;

TEST(Calibration, EachStepAloneAndAllTogetherMatchTheirFormulas)
{
    struct Case {
        const char *what;
        std::uint16_t raw_temperature, raw_humidity;
        Calibration calibration;
    };
    // 4000: 0.0 C, 6500: 25.0 C, 8500: 45.0 C; 1000 to 3200 spans about 30 to 96 %.
    const Case cases[] = {
        {"maker's slope, cold store", 4000, 1700, settings(0, 1, 0, true)},
        {"maker's slope, cold and wet", 4000, 3200, settings(0, 1, 0, true)},
        {"maker's slope, at 25 C nothing changes", 6500, 1700, settings(0, 1, 0, true)},
        {"maker's slope, greenhouse at noon", 8500, 3000, settings(0, 1, 0, true)},
        {"a warm module", 6740, 1500, settings(-2.5, 1, 0, false)},
        {"a cold module", 5000, 2400, settings(4.0, 1, 0, false)},
        {"gain and offset", 6240, 1200, settings(0, 1.04, -1.5, false)},
        {"gain to saturation", 6240, 3000, settings(0, 1.2, 0, false)},
        {"offset to dry air", 6240, 150, settings(0, 1, -10, false)},
        {"all together", 4300, 2600, settings(1.5, 0.97, 2.0, true)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const Values in = program_values(c.raw_temperature, c.raw_humidity);
        const Values out = calibrated(in, c.calibration);
        const Calibration &k = c.calibration;
        const double celsius = wex_celsius_from_raw(c.raw_temperature);
        double humidity = k.sensor_compensation ? maker_humidity(c.raw_humidity, celsius) : in.humidity_percent;
        humidity = humidity_of(in.temperature_c + k.temperature_offset_c, vapour_hpa(in.temperature_c, humidity));
        humidity = std::fmin(100.0, std::fmax(0.0, humidity * k.humidity_gain + k.humidity_offset_percent));

        EXPECT_NEAR(out.temperature_c, in.temperature_c + k.temperature_offset_c, 1e-9);
        EXPECT_NEAR(out.humidity_percent, humidity, printed_twice);
        char text[16];
        std::snprintf(text, sizeof text, "%.1f", out.humidity_percent);
        EXPECT_EQ(out.humidity, text);
        if (humidity <= 0.0) {
            EXPECT_FALSE(out.dewpoint_is_number);
            continue;
        }
        ASSERT_TRUE(out.dewpoint_is_number);
        if (humidity >= 100.0) {
            EXPECT_EQ(out.dewpoint, out.temperature);
        } else {
            EXPECT_NEAR(out.dewpoint_c, wex_dewpoint(out.temperature_c, humidity), printed_twice);
        }
        // An offset alone moves the temperature, never the air's water, so the dew point stays.
        if (!k.sensor_compensation && k.humidity_gain == 1.0 && k.humidity_offset_percent == 0.0) {
            EXPECT_NEAR(out.dewpoint_c, in.dewpoint_c, printed_twice);
        }
    }
}

TEST(Calibration, TheModulesOwnSectionOverridesKeyByKeyAndNoOtherSectionApplies)
{
    CalibrationFile file;
    ASSERT_EQ(parse_calibration("cal",
                                "\xEF\xBB\xBF# every module\r\n"
                                "temperature-offset = -1.0   # in a case\n"
                                "humidity-gain = 1.05\n"
                                "\n"
                                "[WQ9]\n"
                                "  humidity-gain=0.95\n"
                                "humidity-compensation = sensor\n"
                                "[WQ10]\n"
                                "temperature-offset = +2\n",
                                file),
              "");
    struct Case {
        const char *serial;
        const char *section;
        double t_offset, gain;
        bool sensor;
    };
    const Case cases[] = {
        {"WQ9", "WQ9", -1.0, 0.95, true},
        {"WQ10", "WQ10", 2.0, 1.05, false},
        {"WQ1", "", -1.0, 1.05, false},
        {"", "", -1.0, 1.05, false},
    };
    for (const Case &c : cases) {
        const Calibration k = calibration_for(file, c.serial);
        EXPECT_EQ(k.section, c.section) << c.serial;
        EXPECT_EQ(k.temperature_offset_c, c.t_offset) << c.serial;
        EXPECT_EQ(k.humidity_gain, c.gain) << c.serial;
        EXPECT_EQ(k.sensor_compensation, c.sensor) << c.serial;
        EXPECT_EQ(k.humidity_offset_percent, 0.0) << c.serial;
    }
    EXPECT_EQ(calibration_for(file, "WQ9").source_text(), "cal [WQ9]");
    CalibrationFile comments_only;
    ASSERT_EQ(parse_calibration("cal", "# temperature-offset = 1\n\n", comments_only), "");
    EXPECT_FALSE(calibration_for(comments_only, "WQ9").changes_values());
    EXPECT_FALSE(calibration_for(CalibrationFile{}, "WQ9").changes_values());
}

TEST(Calibration, ABadLineIsNamedWithItsNumberAndWhatIsWrong)
{
    struct Case {
        std::string text;
        const char *error;
    };
    const Case cases[] = {
        {"colour = red\n", "cal:1: unknown key 'colour'"},
        {"# a comment\ntemperature-offset 1\n", "cal:2: expected KEY = VALUE or [SERIAL], found 'temperature-offset 1'"},
        {"temperature-offset = 1\ntemperature-offset = 2\n", "cal:2: temperature-offset repeated (first on line 1)"},
        {"[A]\nhumidity-gain = 1\n[A]\n", "cal:3: section [A] repeated (first on line 1)"},
        {"[]\n", "cal:1: a section needs the module's serial number"},
        {"[A\n", "cal:1: a section line is [SERIAL], found '[A'"},
        {"temperature-offset =\n", "cal:1: temperature-offset needs a value"},
        {"temperature-offset = 1e1\n", "cal:1: not a decimal number: '1e1'"},
        {"temperature-offset = nan\n", "cal:1: not a decimal number: 'nan'"},
        {"temperature-offset = 0x1\n", "cal:1: not a decimal number"},
        {"temperature-offset = 1.\n", "cal:1: not a decimal number"},
        {"temperature-offset = 1,5\n", "cal:1: not a decimal number"},
        {"temperature-offset = 10.01\n", "cal:1: '10.01' is out of range: it must be from -10 to 10 C"},
        {"humidity-offset = -20.5\n", "cal:1: '-20.5' is out of range: it must be from -20 to 20 %RH"},
        {"humidity-gain = 1.51\n", "cal:1: '1.51' is out of range: it must be from 0.5 to 1.5"},
        {"humidity-gain = 0.49\n", "cal:1: '0.49' is out of range"},
        {"humidity-compensation = maker\n", "cal:1: humidity-compensation is program or sensor, not 'maker'"},
        {std::string("humidity-gain = 1\0\n", 19), "cal:1: a NUL byte"},
        {"\n\n[\x1b]\n", "cal:3: the serial number '?' has a character that is not printable ASCII"},
    };
    for (const Case &c : cases) {
        CalibrationFile file;
        const std::string error = parse_calibration("cal", c.text, file);
        EXPECT_EQ(error.substr(0, std::string(c.error).size()), c.error) << c.text;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
    CalibrationFile file;
    EXPECT_EQ(parse_calibration("cal", "temperature-offset = 1\n[A]\ntemperature-offset = -10\n", file), "");
}

// The reader refuses FIFOs, folders and large files for mqtt's files too (mqtt_test.cpp); these are its own.
TEST(Calibration, OnlyAFileThatOnlyItsOwnerOrRootMayWriteIsRead)
{
    const TempDir dir;
    CalibrationFile file;
    const std::string good = dir / "good";
    write_file(good, "humidity-gain = 1.1\n");
    ASSERT_EQ(chmod(good.c_str(), 0644), 0);
    EXPECT_EQ(load_calibration(good, file), "");
    EXPECT_EQ(file.path, good);

    const std::string open_to_all = dir / "open";
    write_file(open_to_all, "");
    ASSERT_EQ(chmod(open_to_all.c_str(), 0664), 0);
    EXPECT_EQ(load_calibration(open_to_all, file), "the calibration file " + open_to_all +
                                                       " may be written by others (mode 0664): chmod go-w " +
                                                       open_to_all);
    EXPECT_TRUE(file.path.empty());
    EXPECT_EQ(load_calibration(dir / "missing", file),
              "cannot read the calibration file " + (dir / "missing") + ": No such file or directory");
    if (geteuid() == 0) {
        ASSERT_EQ(chown(good.c_str(), 4321, 4321), 0);
        EXPECT_EQ(load_calibration(good, file),
                  "the calibration file " + good + " belongs to user 4321, neither root nor this user");
    }
}

}  // namespace
