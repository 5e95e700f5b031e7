#include <cmath>
#include <cstdint>

#include "wex.h"

namespace {

constexpr double temperature_offset = -40.0;
constexpr double temperature_slope = 0.01;
constexpr double humidity_constant = -4.0;
constexpr double humidity_linear = 0.0405;
constexpr double humidity_square = -0.0000028;
constexpr double compensation_reference = 25.0;
constexpr double compensation_constant = 0.01;
constexpr double compensation_slope = 0.000008;
constexpr double dewpoint_coefficient = 7.5;
constexpr double dewpoint_constant = 237.7;
constexpr double saturation_at_zero = 6.112;

}  // namespace

double wex_celsius_from_raw(std::uint16_t raw)
{
    return raw * temperature_slope + temperature_offset;
}

double wex_humidity_from_raw(std::uint16_t raw, double celsius)
{
    const double h = raw;
    const double linear = h * humidity_linear + humidity_constant + (h * humidity_square) * h;
    return (celsius - compensation_reference) * (h * compensation_slope + compensation_constant) + linear;
}

// A humidity of 0 or below gives a dew point that is not a number; it is passed on as such.
double wex_dewpoint(double celsius, double humidity)
{
    const double x = (celsius * dewpoint_coefficient) / (celsius + dewpoint_constant);
    const double saturation = std::pow(10.0, x) * saturation_at_zero;
    const double vapour = (humidity * saturation) / 100.0;
    const double l = std::log10(vapour / saturation_at_zero);
    return (l * dewpoint_constant) / (dewpoint_coefficient - l);
}
