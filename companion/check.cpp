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
    const char *perfdata_unit;
};
constexpr Shown shown[quantities] = {
    {"temperature", "temperature", "C", ""},
    {"humidity", "humidity", "%", "%"},
    {"dewpoint", "dew point", "C", ""},
};
// Marks the values out of range and keeps the first line short.
constexpr const char *state_marks[] = {"", "!", "!!", ""};

// CRITICAL over WARNING over UNKNOWN over OK: no alert hides behind a value that could not be judged.
State worse(State a, State b)
{
    constexpr int severity[] = {0, 2, 3, 1};
    return severity[a] >= severity[b] ? a : b;
}

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
        // The first line already shows that one of the program's lines.
        bool shown = false;
        for (const auto &line : r.lines) {
            if (!shown && line == r.problem)
                shown = true;
            else
                std::printf("%s\n", line.c_str());
        }
        return unknown;
    }
    const std::string *printed[quantities] = {&r.values.temperature, &r.values.humidity, &r.values.dewpoint};
    const double values[quantities] = {r.values.temperature_c, r.values.humidity_percent, r.values.dewpoint_c};
    State worst = r.unclosed ? warning : ok;
    // Short, so that the first line stays within 80 characters.
    std::string text = r.unclosed ? "unclosed" : "";
    std::string perfdata;
    std::string long_output;
    for (const auto &line : r.lines)
        long_output += line + "\n";
    for (std::size_t q = 0; q < quantities; ++q) {
        const Thresholds &t = options.thresholds[q];
        const bool known = q != dewpoint || r.values.dewpoint_is_number;
        const bool judged = t.warning || t.critical;
        const State state = known ? judge(t, values[q]) : judged ? unknown : ok;
        worst = worse(worst, state);
        const std::string value = known ? *printed[q] + shown[q].unit : std::string("not a number");
        text += std::string(text.empty() ? "" : ", ") + shown[q].text_name + " " + value + state_marks[state];
        if (state == unknown)
            long_output += std::string(shown[q].text_name) + " not a number: its thresholds cannot be judged\n";
        else if (state != ok)
            long_output += std::string(shown[q].text_name) + " " + value + " " + state_names[state] + ", alert range " +
                           range_text(state == critical ? t.critical : t.warning) + "\n";
        perfdata += std::string(perfdata.empty() ? "" : " ") + shown[q].label + "=" + (known ? *printed[q] : "U") +
                    shown[q].perfdata_unit + ";" + range_text(t.warning) + ";" + range_text(t.critical);
    }
    print_first_line(worst, text, perfdata);
    std::printf("%s", long_output.c_str());
    return worst;
}
