// The operator's corrections of a module, read from the calibration file and applied to the program's values.
#ifndef WEX_Q40_CALIBRATION_H
#define WEX_Q40_CALIBRATION_H

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "reading.h"

namespace wex_q40 {

constexpr const char *default_calibration_file = "/etc/wex-q40/calibration";
constexpr const char *calibration_variable = "WEX_Q40_CALIBRATION";

// One section's settings; a key not given there is empty.
struct CalibrationSettings {
    std::optional<double> temperature_offset_c;
    std::optional<double> humidity_gain;
    std::optional<double> humidity_offset_percent;
    std::optional<bool> sensor_compensation;  // the sensor maker's slope instead of the program's
};

struct CalibrationFile {
    std::string path;                 // empty: no file, no calibration
    CalibrationSettings every_module;  // before any [SERIAL] line
    std::vector<std::pair<std::string, CalibrationSettings>> modules;  // by USB serial number
};

// What is in force for one module: the file's settings for every module, overridden key by key by its own section.
struct Calibration {
    std::string file;
    std::string section;  // the serial number whose section applied; empty: none did
    double temperature_offset_c = 0.0;
    double humidity_gain = 1.0;
    double humidity_offset_percent = 0.0;
    bool sensor_compensation = false;

    bool changes_values() const;
    // "temperature-offset = 0.5, humidity-gain = 1.02" for the settings that change a value; "none" else.
    std::string settings_text() const;
    // "FILE" or "FILE [SERIAL]".
    std::string source_text() const;
};

// Parses a file's text; empty, or "PATH:LINE: what is wrong".
std::string parse_calibration(const std::string &path, const std::string &text, CalibrationFile &file);

// path empty: the default file, whose absence means no calibration; a file named by the operator must exist.
std::string load_calibration(const std::string &path, CalibrationFile &file);

Calibration calibration_for(const CalibrationFile &file, const std::string &serial);

// The program's settled values corrected, every derived value following: see calibrate.cpp for the order.
Values calibrated(const Values &program, const Calibration &calibration);

}  // namespace wex_q40

#endif
