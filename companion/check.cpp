#include <cstdio>
#include <string>

#include "outputs.h"

namespace {

enum State : int { ok = 0, warning = 1, critical = 2, unknown = 3 };

constexpr const char *state_names[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
constexpr std::size_t longest_problem = 100;

struct Shown {
    const char *label;
    const char *text_name;
    const char *unit;
};
constexpr Shown shown[quantities] = {
    {"temperature", "temperature", " C"},
    {"humidity", "humidity", " %"},
    {"dewpoint", "dew point", " C"},
};

std::string range_text(const std::optional<Range> &range)
{
    return range ? range->text : std::string();
}

State judge(const Thresholds &t, double value)
{
    if (t.critical && range_alerts(*t.critical, value))
        return critical;
    if (t.warning && range_alerts(*t.warning, value))
        return warning;
    return ok;
}

void print_first_line(State state, const std::string &text, const std::string &perfdata)
{
    std::printf("WEX-Q40 %s - %s%s%s\n", state_names[state], text.c_str(), perfdata.empty() ? "" : " | ",
                perfdata.c_str());
}

}  // namespace

int run_check(const Options &options, Clock::time_point deadline)
{
    const Reading r = take_reading(options, deadline);
    if (!r.good) {
        print_first_line(unknown, r.problem.substr(0, longest_problem), "");
        for (const auto &line : r.lines)
            if (line != r.problem)
                std::printf("%s\n", line.c_str());
        return unknown;
    }
    const std::string *printed[quantities] = {&r.values.temperature, &r.values.humidity, &r.values.dewpoint};
    const double values[quantities] = {r.values.temperature_c, r.values.humidity_percent, r.values.dewpoint_c};
    State worst = ok;
    std::string text;
    std::string perfdata;
    for (std::size_t q = 0; q < quantities; ++q) {
        const Thresholds &t = options.thresholds[q];
        const bool known = q != dewpoint || r.values.dewpoint_is_number;
        const State state = known ? judge(t, values[q]) : ok;
        worst = std::max(worst, state);
        text += std::string(text.empty() ? "" : ", ") + shown[q].text_name + " " +
                (known ? *printed[q] + shown[q].unit : std::string("not a number"));
        if (state != ok)
            text += std::string(" (") + (state == critical ? "critical " : "warning ") +
                    range_text(state == critical ? t.critical : t.warning) + ")";
        perfdata += std::string(perfdata.empty() ? "" : " ") + shown[q].label + "=" + (known ? *printed[q] : "U") +
                    (q == humidity ? "%" : "") + ";" + range_text(t.warning) + ";" + range_text(t.critical);
    }
    print_first_line(worst, text, perfdata);
    return worst;
}
