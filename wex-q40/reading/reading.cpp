#include "reading.h"

#include <array>
#include <cmath>
#include <cstdlib>
#include <string_view>

#include "psychrometrics.h"
#include "wex_messages.h"

namespace wex_q40 {

namespace {

constexpr std::size_t longest_integer_part = 6;
constexpr std::size_t most_lines = 20;
constexpr std::size_t longest_line = 200;
// A printed value lies within half a digit of the value.
constexpr double printing = 0.05;
// %.1f of C and of F (derived from the unrounded C) can differ by 0.05·1.8 + 0.05.
constexpr double fahrenheit_tolerance = 0.15;

// The temperature word has 14 bits: -40.00 C at 0, 123.83 C at 0x3FFF.
constexpr double coldest = -40.0;
constexpr double hottest = -40.0 + 0.01 * 0x3FFF;
constexpr double saturated = 100.0;
// The family's least exact member is specified to +-4.5 %RH, so up to that far
// above 100 % is saturated air read within tolerance; beyond it the sensor is at fault.
constexpr double saturation_tolerance = 4.5;
// Bits of double arithmetic, far below what printing rounds.
constexpr double arithmetic_slack = 1e-9;

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// What "%.1f" prints for a finite value: -?(0|[1-9][0-9]*)\.[0-9], bounded.
bool is_printed_number(std::string_view text)
{
    if (!text.empty() && text[0] == '-')
        text.remove_prefix(1);
    const auto point = text.find('.');
    if (point == std::string_view::npos || point == 0 || point > longest_integer_part || point + 2 != text.size())
        return false;
    if (text[0] == '0' && point != 1)
        return false;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (i != point && !is_digit(text[i]))
            return false;
    return true;
}

bool is_not_a_number(std::string_view text)
{
    return text == "nan" || text == "-nan" || text == "inf" || text == "-inf";
}

double to_double(std::string_view text)
{
    return std::strtod(std::string(text).c_str(), nullptr);
}

bool take(std::string_view &line, std::string_view prefix)
{
    if (line.substr(0, prefix.size()) != prefix)
        return false;
    line.remove_prefix(prefix.size());
    return true;
}

// "<label><C>C, <F>F" with both numbers printed, or both the same non-number.
bool parse_celsius_fahrenheit(std::string_view line, std::string_view label, std::string &celsius_text)
{
    if (!take(line, label))
        return false;
    const auto comma = line.find("C, ");
    if (comma == std::string_view::npos || line.empty() || line.back() != 'F')
        return false;
    const std::string_view c = line.substr(0, comma);
    const std::string_view f = line.substr(comma + 3, line.size() - comma - 4);
    celsius_text = std::string(c);
    if (is_not_a_number(c))
        return c == f;
    return is_printed_number(c) && is_printed_number(f) &&
           std::fabs(to_double(f) - (to_double(c) * 1.8 + 32.0)) <= fahrenheit_tolerance;
}

}  // namespace

std::optional<Values> parse_report(const std::string &out)
{
    std::array<std::string_view, 3> lines;
    std::string_view rest = out;
    for (auto &line : lines) {
        const auto newline = rest.find('\n');
        if (newline == std::string_view::npos)
            return std::nullopt;
        line = rest.substr(0, newline);
        rest.remove_prefix(newline + 1);
    }
    if (!rest.empty())
        return std::nullopt;

    Values v;
    std::string_view humidity_line = lines[1];
    using namespace wex_messages;
    if (!parse_celsius_fahrenheit(lines[0], temperature_label, v.temperature) || is_not_a_number(v.temperature))
        return std::nullopt;
    if (!take(humidity_line, humidity_label) || humidity_line.empty() || humidity_line.back() != '%')
        return std::nullopt;
    humidity_line.remove_suffix(1);
    if (!is_printed_number(humidity_line))
        return std::nullopt;
    v.humidity = std::string(humidity_line);
    if (!parse_celsius_fahrenheit(lines[2], dewpoint_label, v.dewpoint))
        return std::nullopt;
    for (std::string *text : {&v.temperature, &v.humidity, &v.dewpoint})
        if (*text == "-0.0")
            *text = "0.0";
    v.temperature_c = to_double(v.temperature);
    v.humidity_percent = to_double(v.humidity);
    v.dewpoint_is_number = !is_not_a_number(v.dewpoint);
    v.dewpoint_c = v.dewpoint_is_number ? to_double(v.dewpoint) : std::nan("");
    return v;
}

std::string settle(Values &values)
{
    if (values.temperature_c < coldest - printing || values.temperature_c > hottest + printing)
        return "implausible reading: temperature " + values.temperature + " C";
    if (values.humidity_percent < 0.0 || values.humidity_percent > saturated + saturation_tolerance)
        return "implausible reading: humidity " + values.humidity + " %";
    // At saturation the dew point is the air temperature, by its definition.
    if (values.humidity_percent >= saturated) {
        values.humidity = "100.0";
        values.humidity_percent = saturated;
        values.dewpoint = values.temperature;
        values.dewpoint_c = values.temperature_c;
        values.dewpoint_is_number = true;
    }
    if (values.dewpoint_is_number && values.dewpoint_c > values.temperature_c)
        return "implausible reading: dew point " + values.dewpoint + " C above the air temperature " +
               values.temperature + " C";
    return {};
}

bool dewpoint_follows(const Values &values)
{
    const double t = values.temperature_c;
    const double least_rh = values.humidity_percent - printing;
    if (!values.dewpoint_is_number)
        return least_rh <= 0;
    // The program's dew point rises with the temperature and with the humidity.
    const double highest = dewpoint_c(t + printing, values.humidity_percent + printing) + printing;
    const double lowest = least_rh <= 0 ? -HUGE_VAL : dewpoint_c(t - printing, least_rh) - printing;
    return values.dewpoint_c >= lowest - arithmetic_slack && values.dewpoint_c <= highest + arithmetic_slack;
}

std::vector<std::string> quotable_lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size() && lines.size() < most_lines) {
        auto end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, std::min(end - start, longest_line));
        for (char &c : line)
            if (c < ' ' || c > '~')
                c = '?';
        if (end - start > longest_line)
            line += "...";
        lines.push_back(line);
        start = end + 1;
    }
    if (start < text.size())
        lines.emplace_back("...");
    return lines;
}

}  // namespace wex_q40
