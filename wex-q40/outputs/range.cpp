#include "range.h"

#include <cstdlib>
#include <limits>

namespace wex_q40 {

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr std::size_t longest_number = 32;

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// A plain decimal: optional sign, digits, optional fraction; no exponent, no hex, no spaces.
std::optional<double> parse_number(std::string_view text)
{
    if (text.empty() || text.size() > longest_number)
        return std::nullopt;
    std::size_t i = (text[0] == '-' || text[0] == '+') ? 1 : 0;
    const std::size_t int_start = i;
    while (i < text.size() && is_digit(text[i]))
        ++i;
    bool digits = i > int_start;
    if (i < text.size() && text[i] == '.') {
        const std::size_t frac_start = ++i;
        while (i < text.size() && is_digit(text[i]))
            ++i;
        digits = digits || i > frac_start;
    }
    if (!digits || i != text.size())
        return std::nullopt;
    const std::string copy(text);
    return std::strtod(copy.c_str(), nullptr);
}

}  // namespace

std::optional<Range> parse_range(std::string_view text)
{
    Range range;
    range.text = std::string(text);
    if (!text.empty() && text[0] == '@') {
        range.inverted = true;
        text.remove_prefix(1);
    }
    if (text.empty())
        return std::nullopt;
    const auto colon = text.find(':');
    if (colon == std::string_view::npos) {
        const auto end = parse_number(text);
        if (!end)
            return std::nullopt;
        range.end = *end;
    } else {
        const std::string_view start = text.substr(0, colon);
        const std::string_view end = text.substr(colon + 1);
        if (start == "~") {
            range.start = -infinity;
        } else if (!start.empty()) {
            const auto value = parse_number(start);
            if (!value)
                return std::nullopt;
            range.start = *value;
        }
        if (end.empty()) {
            range.end = infinity;
        } else {
            const auto value = parse_number(end);
            if (!value)
                return std::nullopt;
            range.end = *value;
        }
    }
    if (range.start > range.end)
        return std::nullopt;
    return range;
}

bool range_alerts(const Range &range, double value)
{
    const bool inside = value >= range.start && value <= range.end;
    return range.inverted ? inside : !inside;
}

}  // namespace wex_q40
