// Water vapour in air by the Magnus formula with the program's own constants, so that a value derived here
// is the one the program would have printed.
#ifndef WEX_Q40_PSYCHROMETRICS_H
#define WEX_Q40_PSYCHROMETRICS_H

#include <cmath>

namespace wex_q40 {

constexpr double magnus_coefficient = 7.5;
constexpr double magnus_constant_c = 237.7;
constexpr double saturation_at_zero_hpa = 6.112;

inline double saturation_pressure_hpa(double celsius)
{
    return saturation_at_zero_hpa * std::pow(10.0, magnus_coefficient * celsius / (celsius + magnus_constant_c));
}

// As the program computes it: not a number for a humidity of 0 % or less.
inline double dewpoint_c(double celsius, double humidity_percent)
{
    const double vapour_hpa = humidity_percent * saturation_pressure_hpa(celsius) / 100.0;
    const double l = std::log10(vapour_hpa / saturation_at_zero_hpa);
    return l * magnus_constant_c / (magnus_coefficient - l);
}

}  // namespace wex_q40

#endif
