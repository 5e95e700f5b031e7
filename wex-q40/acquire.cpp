#include "acquire.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <thread>

#include "failures.h"
#include "lock.h"
#include "shared_reading.h"
#include "wex_messages.h"

namespace wex_q40 {

namespace {

constexpr std::chrono::milliseconds retry_pause{500};
// 0.47 s measured (wex_bench, 1 ms per USB call, ready sensor), 5 more 100 ms polls for 320 ms + 80 ms measurements, a fifth spare.
constexpr std::chrono::milliseconds reading_needs{1200};
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

Reading failed(std::string problem)
{
    Reading r;
    r.problem = std::move(problem);
    r.lines = {r.problem};
    return r;
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
bool only_close_failed(const ChildRun &run, std::string &report)
{
    const std::string_view out = run.out;
    if (run.end != ChildRun::End::exited || run.code != failure_exit || !run.err.empty() ||
        out.size() < close_failure.size() || out.substr(out.size() - close_failure.size()) != close_failure)
        return false;
    report = run.out.substr(0, out.size() - close_failure.size());
    return true;
}

std::string seconds_text(Clock::duration time)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", std::chrono::duration<double>(time).count());
    return text;
}

// had: the time the run was given, which the limit of a retry or of mqtt's reading makes less than -t.
Reading judge(const ChildRun &run, const Options &options, Clock::duration had)
{
    const std::string name = base_name(options.program);
    if (run.end == ChildRun::End::not_started)
        return failed(run.error);

    Reading r;
    r.lines = quotable_lines(run.out);
    for (auto &line : quotable_lines(run.err))
        r.lines.push_back(std::move(line));
    std::string report = run.out;
    const bool unclosed = only_close_failed(run, report);
    std::string what;
    if (run.end == ChildRun::End::timed_out)
        what = name + " gave no answer within " + seconds_text(had) + " s";
    else if (run.end == ChildRun::End::signalled)
        what = name + " was killed by signal " + std::to_string(run.code) + " (" + strsignal(run.code) + ")";
    else if (run.code != 0 && !unclosed)
        what = name + " ended with status " + std::to_string(run.code);
    else if (!run.err.empty())
        what = name + " wrote to standard error";

    if (what.empty()) {
        if (auto values = parse_report(report)) {
            what = settle(*values);
            if (what.empty()) {
                r.good = true;
                r.values = *values;
                r.report = quotable_lines(report);
                r.lines.clear();
                r.unclosed = unclosed;
                if (unclosed)
                    r.lines = {std::string(close_failure.substr(0, close_failure.size() - 1))};
                return r;
            }
        } else {
            what = "output of " + name + " not in the expected form";
        }
    }
    // A known failure is named with what to do; else the program's first line of its own says
    // most, and the status or the form only when it said nothing.
    const bool exited_failing = run.end == ChildRun::End::exited && run.code != 0;
    const auto own = std::find_if(r.lines.begin(), r.lines.end(), [](const std::string &l) { return !is_report_line(l); });
    const auto known = exited_failing ? diagnose_failure(r.lines, options.command) : std::nullopt;
    if (known) {
        r.problem = known->summary;
        r.advice = known->advice;
        r.permanent = known->permanent;
    } else {
        r.problem = exited_failing && own != r.lines.end() ? *own : what;
    }
    r.lines.push_back(what);
    return r;
}

// A reading started then is done before the program would be sent SIGTERM.
bool fits(Clock::time_point start, Clock::time_point deadline)
{
    return start + reading_needs <= termination_time(start, deadline);
}

// No reading is started that the time limit would cut short, leaving the sensor mid-frame for the next reader.
Reading too_late(Clock::time_point start, Clock::time_point deadline)
{
    const std::string needs = seconds_text(reading_needs);
    Reading r = failed(fits(start, deadline)
                           ? "the module was busy with other readers for " + seconds_text(Clock::now() - start) +
                                 " s, too long to start a reading (" + needs + " s)"
                           : "the time limit is too short to start a reading (" + needs + " s)");
    r.advice = "give the command a longer -t; readers started together share one reading (--max-age)";
    return r;
}

Reading take_reading_under_lock(const Options &options, Clock::time_point deadline)
{
    const auto start = Clock::now();
    Fd lock;
    const std::string error = take_reader_lock(options.lock_file, deadline, lock);
    if (!error.empty())
        return failed(error);
    if (options.max_age_s > 0)
        if (auto shared = shared_reading(options))
            return *std::move(shared);
    if (!fits(Clock::now(), deadline))
        return too_late(start, deadline);
    Reading first;
    for (unsigned attempt = 0;; ++attempt) {
        const auto started = Clock::now();
        const ChildRun run = run_child(options.program, deadline);
        Reading reading = judge(run, options, deadline - started);
        reading.attempts = attempt + 1;
        first.attempts = attempt + 1;
        if (reading.good) {
            reading.taken = std::chrono::system_clock::now();
            leave_shared_reading(options, reading);
            return reading;
        }
        // The first failure says most; each retry's lines follow under a line of their own.
        if (attempt == 0) {
            first = std::move(reading);
        } else {
            first.lines.push_back("retry " + std::to_string(attempt) + " of " + std::to_string(options.retries) + ":");
            first.lines.insert(first.lines.end(), reading.lines.begin(), reading.lines.end());
        }
        if (run.end == ChildRun::End::not_started || first.permanent || attempt >= options.retries)
            return first;
        if (!fits(Clock::now() + retry_pause, deadline)) {
            first.lines.push_back("no retry: too little time left for a reading (" + seconds_text(reading_needs) +
                                  " s)");
            return first;
        }
        std::this_thread::sleep_for(retry_pause);
    }
}

}  // namespace

Reading take_reading(const Options &options, Clock::time_point deadline)
{
    const auto start = Clock::now();
    Reading reading = take_reading_under_lock(options, deadline);
    reading.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return reading;
}

}  // namespace wex_q40
