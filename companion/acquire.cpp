#include "acquire.h"

#include <csignal>
#include <cstring>
#include <thread>

#include "lock.h"

namespace {

constexpr std::chrono::milliseconds retry_pause{500};

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

Reading judge(const ChildRun &run, const Options &options)
{
    const std::string name = base_name(options.program);
    if (run.end == ChildRun::End::not_started)
        return failed(run.error);

    Reading r;
    r.lines = quotable_lines(run.out);
    for (auto &line : quotable_lines(run.err))
        r.lines.push_back(std::move(line));
    std::string what;
    if (run.end == ChildRun::End::timed_out)
        what = name + " gave no answer within " + std::to_string(options.timeout_s) + " s";
    else if (run.end == ChildRun::End::signalled)
        what = name + " was killed by signal " + std::to_string(run.code) + " (" + strsignal(run.code) + ")";
    else if (run.code != 0)
        what = name + " ended with status " + std::to_string(run.code);
    else if (!run.err.empty())
        what = name + " wrote to standard error";

    if (what.empty()) {
        if (const auto values = parse_report(run.out)) {
            what = implausibility(*values);
            if (what.empty()) {
                r.good = true;
                r.values = *values;
                r.lines.clear();
                return r;
            }
        } else {
            what = "output of " + name + " not in the expected form";
        }
    }
    // The program's first line says most; the status or the form only when it said nothing.
    const bool speaks = run.end == ChildRun::End::exited && run.code != 0 && !r.lines.empty();
    r.problem = speaks ? r.lines.front() : what;
    r.lines.push_back(what);
    return r;
}

}  // namespace

Reading take_reading(const Options &options, Clock::time_point deadline)
{
    ReaderLock lock;
    const std::string error = take_reader_lock(options.lock_file, deadline, lock);
    if (!error.empty())
        return failed(error);
    Reading first;
    for (unsigned attempt = 0;; ++attempt) {
        const ChildRun run = run_child(options.program, deadline);
        Reading reading = judge(run, options);
        if (reading.good)
            return reading;
        // The first failure says most; each retry's lines follow under a line of their own.
        if (attempt == 0) {
            first = std::move(reading);
        } else {
            first.lines.push_back("retry " + std::to_string(attempt) + " of " + std::to_string(options.retries) + ":");
            first.lines.insert(first.lines.end(), reading.lines.begin(), reading.lines.end());
        }
        if (run.end == ChildRun::End::not_started || attempt >= options.retries ||
            Clock::now() + retry_pause >= deadline)
            return first;
        std::this_thread::sleep_for(retry_pause);
    }
}
