// What wex_q40_test printed: strictly parsed, and checked against what a
// working sensor can produce.
#ifndef WEX_Q40_READING_H
#define WEX_Q40_READING_H

#include <optional>
#include <string>
#include <vector>

namespace wex_q40 {

struct Values {
    // As the program printed them (already %.1f), for text outputs.
    std::string temperature;
    std::string humidity;
    std::string dewpoint;  // "nan", "-nan", "inf" or "-inf" when not a number
    double temperature_c = 0;
    double humidity_percent = 0;
    double dewpoint_c = 0;
    bool dewpoint_is_number = false;
};

// The three report lines exactly as "%.1f" prints them, or nothing.
std::optional<Values> parse_report(const std::string &out);

// Empty for a reading a working sensor can give, else what is wrong with it.
// A humidity from 100 % to the sensor's tolerance above it is saturated air:
// it becomes 100.0 % and the dew point the air temperature.
std::string settle(Values &values);

// Whether the dew point follows from the temperature and the humidity by the program's formula, all three as
// printed; only a humidity that may be 0 or below gives a dew point that is not a number.
bool dewpoint_follows(const Values &values);

// The program's output as lines safe to quote anywhere: bounded, printable ASCII.
std::vector<std::string> quotable_lines(const std::string &text);

}  // namespace wex_q40

#endif
