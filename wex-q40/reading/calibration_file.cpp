#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string_view>

#include "calibration.h"
#include "operator_file.h"

namespace wex_q40 {

namespace {

constexpr off_t longest_file = 65536;
constexpr std::size_t longest_quoted = 40;
constexpr std::size_t longest_number = 20;
// Beyond these a module is broken or misplaced, not off: a correction must not hide that.
constexpr double largest_temperature_offset_c = 10.0;
constexpr double largest_humidity_offset_percent = 20.0;
constexpr double least_humidity_gain = 0.5;
constexpr double largest_humidity_gain = 1.5;

enum class Key { temperature_offset, humidity_gain, humidity_offset, humidity_compensation };

constexpr std::array<std::pair<std::string_view, Key>, 4> keys{{
    {"temperature-offset", Key::temperature_offset},
    {"humidity-gain", Key::humidity_gain},
    {"humidity-offset", Key::humidity_offset},
    {"humidity-compensation", Key::humidity_compensation},
}};

std::string_view trimmed(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// What the operator wrote, safe to print on one line.
std::string quoted(std::string_view text)
{
    std::string out = "'";
    for (const char c : text.substr(0, longest_quoted))
        out += c >= ' ' && c <= '~' ? c : '?';
    return out + (text.size() > longest_quoted ? "...'" : "'");
}

// A plain decimal, "-1.5" or "+2" or "0.25": no exponent, no hexadecimal, no infinity.
std::optional<double> decimal(std::string_view text)
{
    std::string_view digits = text;
    if (!digits.empty() && (digits[0] == '+' || digits[0] == '-'))
        digits.remove_prefix(1);
    const auto point = digits.find('.');
    const std::string_view whole = digits.substr(0, point);
    const std::string_view fraction = point == std::string_view::npos ? std::string_view() : digits.substr(point + 1);
    const auto all_digits = [](std::string_view s) { return s.find_first_not_of("0123456789") == s.npos; };
    if (text.size() > longest_number || whole.empty() || !all_digits(whole) || !all_digits(fraction) ||
        (point != std::string_view::npos && fraction.empty()))
        return std::nullopt;
    return std::strtod(std::string(text).c_str(), nullptr);
}

std::string number_within(std::string_view value, double least, double most, const char *unit,
                          std::optional<double> &slot)
{
    const auto number = decimal(value);
    if (!number)
        return "not a decimal number: " + quoted(value);
    std::array<char, 64> bounds{};
    std::snprintf(bounds.data(), bounds.size(), "from %g to %g%s", least, most, unit);
    if (*number < least || *number > most)
        return quoted(value) + " is out of range: it must be " + bounds.data();
    slot = *number + 0.0;  // no -0
    return {};
}

std::string set(Key key, std::string_view value, CalibrationSettings &settings)
{
    switch (key) {
    case Key::temperature_offset:
        return number_within(value, -largest_temperature_offset_c, largest_temperature_offset_c, " C",
                             settings.temperature_offset_c);
    case Key::humidity_gain:
        return number_within(value, least_humidity_gain, largest_humidity_gain, "", settings.humidity_gain);
    case Key::humidity_offset:
        return number_within(value, -largest_humidity_offset_percent, largest_humidity_offset_percent, " %RH",
                             settings.humidity_offset_percent);
    case Key::humidity_compensation:
        if (value != "program" && value != "sensor")
            return "humidity-compensation is program or sensor, not " + quoted(value);
        settings.sensor_compensation = value == "sensor";
        return {};
    }
    return {};
}

struct Parser {
    const std::string &path;
    CalibrationFile &file;
    CalibrationSettings *section;
    std::map<std::string, unsigned> sections_seen;  // serial: its line
    std::map<std::string, unsigned> keys_seen;      // in the current section

    std::string section_line(std::string_view line, unsigned number)
    {
        const std::string serial(trimmed(line.substr(1, line.size() - 2)));
        if (serial.empty())
            return "a section needs the module's serial number: [SERIAL]";
        for (const char c : serial)
            if (c < ' ' || c > '~')
                return "the serial number " + quoted(serial) + " has a character that is not printable ASCII";
        if (const auto seen = sections_seen.find(serial); seen != sections_seen.end())
            return "section [" + serial + "] repeated (first on line " + std::to_string(seen->second) + ")";
        sections_seen[serial] = number;
        keys_seen.clear();
        file.modules.emplace_back(serial, CalibrationSettings{});
        section = &file.modules.back().second;
        return {};
    }

    std::string setting_line(std::string_view line, unsigned number)
    {
        const auto equals = line.find('=');
        if (equals == std::string_view::npos)
            return "expected KEY = VALUE or [SERIAL], found " + quoted(line);
        const std::string key(trimmed(line.substr(0, equals)));
        const std::string_view value = trimmed(line.substr(equals + 1));
        const auto known = std::find_if(keys.begin(), keys.end(), [&](const auto &k) { return k.first == key; });
        if (known == keys.end())
            return "unknown key " + quoted(key) +
                   " (the keys: temperature-offset, humidity-gain, humidity-offset, humidity-compensation)";
        if (value.empty())
            return key + " needs a value";
        if (const auto seen = keys_seen.find(key); seen != keys_seen.end())
            return key + " repeated (first on line " + std::to_string(seen->second) + ")";
        keys_seen[key] = number;
        return set(known->second, value, *section);
    }

    std::string line(std::string_view text, unsigned number)
    {
        const std::string_view line = trimmed(text.substr(0, text.find('#')));
        if (line.empty())
            return {};
        if (line.front() == '[' && line.back() == ']')
            return section_line(line, number);
        if (line.front() == '[')
            return "a section line is [SERIAL], found " + quoted(line);
        return setting_line(line, number);
    }
};

// "FILE:LINE: what is wrong", as compilers name a place in a file.
std::string at_line(const std::string &path, unsigned number, const std::string &error)
{
    return path + ":" + std::to_string(number) + ": " + error;
}

// A key given in neither keeps its default.
template <typename T>
void take(T &slot, const std::optional<T> &every_module, const std::optional<T> &own)
{
    if (own)
        slot = *own;
    else if (every_module)
        slot = *every_module;
}

}  // namespace

std::string parse_calibration(const std::string &path, const std::string &text, CalibrationFile &file)
{
    file = CalibrationFile{path, {}, {}};
    Parser parser{path, file, &file.every_module, {}, {}};
    unsigned number = 0;
    // An editor may begin a UTF-8 file with a byte order mark.
    const std::string_view bom = "\xEF\xBB\xBF";
    for (std::size_t start = text.compare(0, bom.size(), bom) == 0 ? bom.size() : 0; start < text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        ++number;
        const std::string_view line = std::string_view(text).substr(start, end - start);
        std::string error = line.find('\0') != std::string_view::npos ? "a NUL byte: this is not a text file"
                                                                        : parser.line(line, number);
        if (!error.empty())
            return at_line(path, number, error);
        start = end + 1;
    }
    return {};
}

std::string load_calibration(const std::string &path, CalibrationFile &file)
{
    file = CalibrationFile{};
    const bool named = !path.empty();
    const std::string chosen = named ? path : default_calibration_file;
    struct stat status {};
    if (!named && stat(chosen.c_str(), &status) != 0 && errno == ENOENT)
        return {};
    std::string text;
    if (std::string error = read_operator_file(chosen, "calibration file", longest_file, FileTrust::trusted, text);
        !error.empty())
        return error;
    return parse_calibration(chosen, text, file);
}

Calibration calibration_for(const CalibrationFile &file, const std::string &serial)
{
    Calibration c;
    if (file.path.empty())
        return c;
    c.file = file.path;
    const CalibrationSettings *own = nullptr;
    for (const auto &[section_serial, settings] : file.modules)
        if (!serial.empty() && section_serial == serial) {
            own = &settings;
            c.section = serial;
        }
    const CalibrationSettings none;
    const CalibrationSettings &mine = own != nullptr ? *own : none;
    take(c.temperature_offset_c, file.every_module.temperature_offset_c, mine.temperature_offset_c);
    take(c.humidity_gain, file.every_module.humidity_gain, mine.humidity_gain);
    take(c.humidity_offset_percent, file.every_module.humidity_offset_percent, mine.humidity_offset_percent);
    take(c.sensor_compensation, file.every_module.sensor_compensation, mine.sensor_compensation);
    return c;
}

std::string Calibration::source_text() const
{
    return section.empty() ? file : file + " [" + section + "]";
}

std::string Calibration::settings_text() const
{
    std::string text;
    const auto add = [&text](const std::string &setting) { text += (text.empty() ? "" : ", ") + setting; };
    std::array<char, 64> value{};
    if (sensor_compensation)
        add("humidity-compensation = sensor");
    if (temperature_offset_c != 0.0) {
        std::snprintf(value.data(), value.size(), "temperature-offset = %g", temperature_offset_c);
        add(value.data());
    }
    if (humidity_gain != 1.0) {
        std::snprintf(value.data(), value.size(), "humidity-gain = %g", humidity_gain);
        add(value.data());
    }
    if (humidity_offset_percent != 0.0) {
        std::snprintf(value.data(), value.size(), "humidity-offset = %g", humidity_offset_percent);
        add(value.data());
    }
    return text.empty() ? "none" : text;
}

}  // namespace wex_q40
