#include "judge.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>

#include "failures.h"
#include "wex_messages.h"

namespace wex_q40 {

namespace {

constexpr int failure_exit = 255;
constexpr std::string_view close_failure = wex_messages::close_failed;
constexpr std::string_view unclosed_text = unclosed_warning;
static_assert(unclosed_text.substr(unclosed_text.size() + 1 - close_failure.size()) ==
                  close_failure.substr(0, close_failure.size() - 1),
              "the warning quotes the program's line");

std::string base_name(const std::string &path)
{
    return path.substr(path.rfind('/') + 1);
}

bool is_report_line(const std::string &line)
{
    using namespace wex_messages;
    for (const std::string_view label : {temperature_label, humidity_label, dewpoint_label})
        if (line.rfind(label, 0) == 0)
            return true;
    return false;
}

// The three report lines and then only the close failing: the values were read and checksummed.
bool only_close_failed(const ChildRun &run)
{
    const std::string_view out = run.out;
    return run.end == ChildRun::End::exited && run.code == failure_exit && run.err.empty() &&
           out.size() >= close_failure.size() && out.substr(out.size() - close_failure.size()) == close_failure;
}

// How the run ended, when that alone makes it a failure; empty when its report is worth reading.
std::string how_it_ended(const ChildRun &run, const std::string &name, Clock::duration had, bool unclosed)
{
    if (run.end == ChildRun::End::timed_out)
        return name + " gave no answer within " + seconds_text(had) + " s";
    if (run.end == ChildRun::End::signalled)
        return name + " was killed by signal " + std::to_string(run.code) + " (" + strsignal(run.code) + ")";
    if (run.code != 0 && !unclosed)
        return name + " ended with status " + std::to_string(run.code);
    if (!run.err.empty())
        return name + " wrote to standard error";
    return {};
}

// The report parsed and settled into a good reading, or what is wrong with it.
std::string read_report(const std::string &report, const std::string &name, Reading &r)
{
    auto values = parse_report(report);
    if (!values)
        return "output of " + name + " not in the expected form";
    if (std::string wrong = settle(*values); !wrong.empty())
        return wrong;
    r.good = true;
    r.values = *values;
    r.report = quotable_lines(report);
    return {};
}

// A known failure is named with what to do; else the program's first line of its own says
// most, and the status or the form only when it said nothing.
Failure explain(const ChildRun &run, std::vector<std::string> lines, std::string what, bool by_diagnose)
{
    Failure f;
    const bool exited_failing = run.end == ChildRun::End::exited && run.code != 0;
    const auto own = std::find_if(lines.begin(), lines.end(), [](const std::string &l) { return !is_report_line(l); });
    if (const auto known = exited_failing ? diagnose_failure(lines, by_diagnose) : std::nullopt) {
        f.summary = known->summary;
        f.advice = known->advice;
        f.permanent = known->permanent;
    } else {
        f.summary = exited_failing && own != lines.end() ? *own : what;
    }
    f.lines = std::move(lines);
    f.lines.push_back(std::move(what));
    return f;
}

}  // namespace

Reading failed(std::string summary)
{
    Reading r;
    r.failure.lines = {summary};
    r.failure.summary = std::move(summary);
    return r;
}

Reading judge(const ChildRun &run, const ReadingOptions &options, Clock::duration had)
{
    if (run.end == ChildRun::End::not_started)
        return failed(run.error);
    const std::string name = base_name(options.program);
    const bool unclosed = only_close_failed(run);
    Reading r;
    std::string what = how_it_ended(run, name, had, unclosed);
    if (what.empty()) {
        const std::string report = unclosed ? run.out.substr(0, run.out.size() - close_failure.size()) : run.out;
        what = read_report(report, name, r);
        r.unclosed = r.good && unclosed;
        if (r.good)
            return r;
    }
    std::vector<std::string> lines = quotable_lines(run.out);
    for (auto &line : quotable_lines(run.err))
        lines.push_back(std::move(line));
    r.failure = explain(run, std::move(lines), std::move(what), options.by_diagnose);
    return r;
}

}  // namespace wex_q40
