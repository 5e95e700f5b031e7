#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "calibration.h"
#include "psychrometrics.h"

namespace wex_q40 {

namespace {

// The program's humidity conversion of the sensor's 12-bit word SO at temperature T:
// RH = (T - 25) * (0.01 + slope * SO) + (-4 + 0.0405 * SO - 0.0000028 * SO^2).
constexpr double compensation_reference_c = 25.0;
constexpr double compensation_constant = 0.01;
constexpr double program_slope = 0.000008;
// The sensor maker's slope for 12-bit humidity.
constexpr double sensor_slope = 0.00008;
constexpr double linear_constant = -4.0;
constexpr double linear_coefficient = 0.0405;
constexpr double square_coefficient = -0.0000028;
constexpr double driest = 0.0;
constexpr double saturated = 100.0;

double humidity_from_word(double word, double celsius, double slope)
{
    const double linear = linear_constant + linear_coefficient * word + square_coefficient * word * word;
    return (celsius - compensation_reference_c) * (compensation_constant + slope * word) + linear;
}

// The word the program converted, from what it printed: the smaller root of the conversion's quadratic,
// the one within the sensor's 12 bits, in the form that loses no precision.
double word_from_humidity(double humidity, double celsius)
{
    const double dt = celsius - compensation_reference_c;
    const double a = square_coefficient;
    const double b = linear_coefficient + program_slope * dt;
    const double c = linear_constant + compensation_constant * dt - humidity;
    const double discriminant = std::max(0.0, b * b - 4.0 * a * c);
    return -2.0 * c / (b + std::sqrt(discriminant));
}

// %.1f as the program prints it, "-0.0" as "0.0", and the value as that text says.
void print(double value, std::string &text, double &number)
{
    std::array<char, 32> printed{};
    std::snprintf(printed.data(), printed.size(), "%.1f", value);
    text = printed.data();
    if (text == "-0.0")
        text = "0.0";
    number = std::strtod(text.c_str(), nullptr);
}

}  // namespace

bool Calibration::changes_values() const
{
    return sensor_compensation || temperature_offset_c != 0.0 || humidity_gain != 1.0 ||
           humidity_offset_percent != 0.0;
}

// In this order: the sensor maker's compensation, the temperature offset keeping the water vapour, the humidity's
// gain and offset, the humidity within 0 to 100 %, the dew point from the result.
Values calibrated(const Values &program, const Calibration &c)
{
    double celsius = program.temperature_c;
    double humidity = program.humidity_percent;
    if (c.sensor_compensation)
        humidity = humidity_from_word(word_from_humidity(humidity, celsius), celsius, sensor_slope);
    if (c.temperature_offset_c != 0.0) {
        // The module measured the air's vapour right but at the wrong temperature: the dew point stays.
        humidity *= saturation_pressure_hpa(celsius) / saturation_pressure_hpa(celsius + c.temperature_offset_c);
        celsius += c.temperature_offset_c;
    }
    humidity = std::clamp(humidity * c.humidity_gain + c.humidity_offset_percent, driest, saturated);

    Values v;
    print(celsius, v.temperature, v.temperature_c);
    print(humidity, v.humidity, v.humidity_percent);
    // At saturation the dew point is the air temperature, as for the program's own values.
    const double dewpoint = humidity >= saturated ? celsius : dewpoint_c(celsius, humidity);
    v.dewpoint_is_number = std::isfinite(dewpoint);
    if (v.dewpoint_is_number) {
        print(dewpoint, v.dewpoint, v.dewpoint_c);
    } else {
        v.dewpoint = "nan";
        v.dewpoint_c = std::nan("");
    }
    return v;
}

}  // namespace wex_q40
