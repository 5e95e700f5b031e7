#include <algorithm>
#include <cstdio>
#include <string>

#include "outputs.h"
#include "wex_messages.h"

namespace wex_q40 {

namespace {

// A plugin state, which is also its exit status.
enum State : int { state_ok = 0, state_warning = 1, state_critical = 2, state_unknown = 3 };

constexpr const char *state_names[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
constexpr std::size_t longest_problem = 100;

struct Shown {
    const char *label;
    const char *text_name;
    const char *unit;
    const char *perfdata_unit;
    const char *scale;  // ";min;max" of the perfdata, where the quantity has a fixed scale
};
constexpr Shown shown[quantities] = {
    {"temperature", "temperature", "C", "", ""},
    {"humidity", "humidity", "%", "%", ";0;100"},
    {"dewpoint", "dew point", "C", "", ""},
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

State judge(const AlertRanges &ranges, double value)
{
    if (ranges.critical_range && range_alerts(*ranges.critical_range, value))
        return state_critical;
    if (ranges.warning_range && range_alerts(*ranges.warning_range, value))
        return state_warning;
    return state_ok;
}

// -v: how long the reading took and what a calibration changed; -vv: the program's own lines too.
std::string verbose_lines(const Reading &r, unsigned verbosity)
{
    std::string out;
    if (verbosity >= 1) {
        char line[100];
        if (r.shared)
            std::snprintf(line, sizeof line, "reading taken %.1f s before, by another reader (%.2f s to get it)\n",
                          r.age_s, r.seconds);
        else if (r.attempts == 0)
            std::snprintf(line, sizeof line, "no reading started, after %.2f s\n", r.seconds);
        else
            std::snprintf(line, sizeof line, "reading took %.2f s in %u attempt%s\n", r.seconds, r.attempts,
                          r.attempts == 1 ? "" : "s");
        out += line;
    }
    if (verbosity >= 1 && r.calibration.changes_values()) {
        const Values &p = r.program_values;
        out += "calibrated by " + r.calibration.source_text() + " (" + r.calibration.settings_text() +
               "): the module read temperature " + p.temperature + "C, humidity " + p.humidity + "%, dew point " +
               (p.dewpoint_is_number ? p.dewpoint + "C" : std::string("not a number")) + "\n";
    }
    if (verbosity >= 2)
        for (const auto &l : r.report)
            out += l + "\n";
    return out;
}

void print_first_line(State state, const std::string &text, const std::string &perfdata)
{
    std::printf("WEX-Q40 %s - %s%s%s\n", state_names[state], text.c_str(), perfdata.empty() ? "" : " | ",
                perfdata.c_str());
}

void print_failure(const Reading &r, unsigned verbosity)
{
    const Failure &f = r.failure;
    print_first_line(state_unknown, f.summary.substr(0, longest_problem), "");
    if (!f.advice.empty())
        std::printf("%s\n", f.advice.c_str());
    // The first line already shows that one of the program's lines.
    bool quoted = false;
    for (const auto &line : f.lines) {
        if (!quoted && line == f.summary)
            quoted = true;
        else
            std::printf("%s\n", line.c_str());
    }
    std::printf("%s", verbose_lines(r, verbosity).c_str());
}

// Judged by its ranges: the quantity's part of the first line, its perfdata, and a long line when it alerts.
State judge_quantity(const Reading &r, std::size_t q, const AlertRanges &ranges, std::string &text,
                     std::string &perfdata, std::string &long_output)
{
    const std::string *printed[quantities] = {&r.values.temperature, &r.values.humidity, &r.values.dewpoint};
    const double values[quantities] = {r.values.temperature_c, r.values.humidity_percent, r.values.dewpoint_c};
    const bool known = q != dewpoint || r.values.dewpoint_is_number;
    const bool judged = ranges.warning_range || ranges.critical_range;
    const State state = known ? judge(ranges, values[q]) : judged ? state_unknown : state_ok;
    const std::string value = known ? *printed[q] + shown[q].unit : std::string("not a number");
    text += std::string(text.empty() ? "" : ", ") + shown[q].text_name + " " + value + state_marks[state];
    if (state == state_unknown)
        long_output += std::string(shown[q].text_name) + " not a number: its thresholds cannot be judged\n";
    else if (state != state_ok)
        long_output += std::string(shown[q].text_name) + " " + value + " " + state_names[state] + ", alert range " +
                       range_text(state == state_critical ? ranges.critical_range : ranges.warning_range) + "\n";
    perfdata += std::string(perfdata.empty() ? "" : " ") + shown[q].label + "=" + (known ? *printed[q] : "U") +
                shown[q].perfdata_unit + ";" + range_text(ranges.warning_range) + ";" +
                range_text(ranges.critical_range) + shown[q].scale;
    return state;
}

std::string set_threshold(std::optional<Range> &slot, const char *value, const std::string &named)
{
    slot = parse_range(value);
    if (!slot)
        return "not a range (or start above end) for " + named + ": " + value;
    return {};
}

template <Quantity q, bool critical>
std::string set_range(CheckOptions &o, const char *value, const std::string &named)
{
    AlertRanges &ranges = o.alert_ranges[q];
    return set_threshold(critical ? ranges.critical_range : ranges.warning_range, value, named);
}

constexpr unsigned most_verbosity = 3;

std::string add_verbosity(CheckOptions &o, const char *, const std::string &)
{
    o.verbosity = std::min(o.verbosity + 1, most_verbosity);
    return {};
}

}  // namespace

const std::array<OptionRow<CheckOptions>, 7> check_rows{{
    {{"warning", 'w', "RANGE",
      "temperature thresholds in degrees Celsius; RANGE is [@]start:end (10, 10:, ~:10, 10:20, @10:20)", nullptr,
      nullptr, false},
     set_range<temperature, false>},
    {{"critical", 'c', "RANGE", "the same, critical", nullptr, nullptr, false}, set_range<temperature, true>},
    {{"humidity-warning", 0, "RANGE", "relative humidity thresholds in percent", nullptr, nullptr, false},
     set_range<humidity, false>},
    {{"humidity-critical", 0, "RANGE", "the same, critical", nullptr, nullptr, false}, set_range<humidity, true>},
    {{"dewpoint-warning", 0, "RANGE", "dew point thresholds in degrees Celsius", nullptr, nullptr, false},
     set_range<dewpoint, false>},
    {{"dewpoint-critical", 0, "RANGE", "the same, critical", nullptr, nullptr, false}, set_range<dewpoint, true>},
    {{"verbose", 'v', nullptr, "more in the long output: the reading's duration; twice, the program's lines",
      nullptr, nullptr, true},
     add_verbosity},
}};

int run_check(const ReadingOptions &reading, const CheckOptions &options, const Budget &budget)
{
    const Reading r = take_reading(reading, budget);
    if (!r.good) {
        print_failure(r, options.verbosity);
        return state_unknown;
    }
    State worst = r.unclosed ? state_warning : state_ok;
    // Short, so that the first line stays within 80 characters.
    std::string text = r.unclosed ? "unclosed" : "";
    std::string perfdata;
    std::string long_output = r.unclosed ? wex_messages::close_failed : "";
    for (std::size_t q = 0; q < quantities; ++q)
        worst = worse(worst, judge_quantity(r, q, options.alert_ranges[q], text, perfdata, long_output));
    print_first_line(worst, text, perfdata);
    std::printf("%s%s", long_output.c_str(), verbose_lines(r, options.verbosity).c_str());
    return worst;
}

}  // namespace wex_q40
