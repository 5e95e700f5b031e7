// Threshold ranges in the monitoring plugins' syntax: [@]start:end.
#ifndef WEX_Q40_RANGE_H
#define WEX_Q40_RANGE_H

#include <optional>
#include <string>
#include <string_view>

namespace wex_q40 {

struct Range {
    double start = 0;
    double end = 0;
    bool inverted = false;  // '@': alert inside start..end
    std::string text;       // as given, for the perfdata
};

// Empty when the text is not a range or its start lies above its end.
std::optional<Range> parse_range(std::string_view text);

// Endpoints count as inside.
bool range_alerts(const Range &range, double value);

}  // namespace wex_q40

#endif
