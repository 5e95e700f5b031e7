#include "acquire.h"

#include <thread>

#include "failures.h"
#include "judge.h"
#include "lock.h"
#include "module_identity.h"
#include "shared_reading.h"

namespace wex_q40 {

namespace {

constexpr std::chrono::milliseconds retry_pause{500};
// The slowest module, 2 ms per USB transfer and the sensor's longest conversions (320 and 80 ms, seen at the fifth
// and the second 100 ms poll): 1.45 s measured under the USB emulator (wex_usb_bench), 1.58 s at most.
constexpr std::chrono::milliseconds reading_needs{1600};

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
    r.failure.advice = "give the command a longer -t; readers started together share one reading (--max-age)";
    return r;
}

// The first failure says most; each retry's lines follow under a line of their own.
void add_retry(Reading &first, Reading retry, unsigned attempt, unsigned retries)
{
    if (attempt == 0) {
        first = std::move(retry);
        return;
    }
    std::vector<std::string> &lines = first.failure.lines;
    lines.push_back("retry " + std::to_string(attempt) + " of " + std::to_string(retries) + ":");
    lines.insert(lines.end(), retry.failure.lines.begin(), retry.failure.lines.end());
}

// Left too, so that snmp's other process takes it up instead of failing again.
Reading left_failure(const ReadingOptions &options, Reading failure)
{
    failure.taken = std::chrono::system_clock::now();
    leave_shared_reading(options, failure);
    return failure;
}

Reading read_with_retries(const ReadingOptions &options, const Budget &budget)
{
    Reading first;
    for (unsigned attempt = 0;; ++attempt) {
        const auto started = Clock::now();
        const ChildRun run = run_child(options.program, budget.deadline);
        Reading reading = judge(run, options, budget.deadline - started);
        reading.attempts = first.attempts = attempt + 1;
        if (reading.good) {
            reading.taken = std::chrono::system_clock::now();
            leave_shared_reading(options, reading);
            return reading;
        }
        add_retry(first, std::move(reading), attempt, options.retries);
        if (run.end == ChildRun::End::not_started || first.failure.permanent || attempt >= options.retries)
            return first;
        if (!fits(Clock::now() + retry_pause, budget.deadline)) {
            first.failure.lines.push_back("no retry: too little time left for a reading (" +
                                          seconds_text(reading_needs) + " s)");
            return first;
        }
        std::this_thread::sleep_for(retry_pause);
    }
}

// A module on the bus when the reading began and gone once it failed was unplugged during it.
Reading read_module(const ReadingOptions &options, const Budget &budget)
{
    const bool attached = module_attached() == true;
    Reading reading = read_with_retries(options, budget);
    if (reading.good)
        return reading;
    if (attached && module_attached() == false) {
        const Diagnosis unplugged = unplugged_during_reading(reading.attempts > 1);
        Failure &f = reading.failure;
        f.summary = unplugged.summary;
        f.advice = unplugged.advice;
        f.permanent = unplugged.permanent;
        f.unplugged = true;
        f.lines.push_back("no module on the bus after the reading");
    }
    return left_failure(options, std::move(reading));
}

Reading take_reading_under_lock(const ReadingOptions &options, const Budget &budget)
{
    const auto start = Clock::now();
    wex_common::Fd lock;
    const std::string error = take_reader_lock(options.lock_file, budget, lock);
    if (!error.empty())
        return failed(error);
    if (options.max_age_s > 0)
        if (auto shared = shared_reading(options))
            return *std::move(shared);
    if (!fits(Clock::now(), budget.deadline))
        return too_late(start, budget.deadline);
    return read_module(options, budget);
}

// The module's own section needs its serial number, looked up only when the file has sections.
void calibrate(Reading &reading, const CalibrationFile &file)
{
    reading.program_values = reading.values;
    if (!reading.good || file.path.empty())
        return;
    std::string serial;
    if (!file.modules.empty())
        if (const auto module = module_identity())
            serial = module->serial;
    reading.calibration = calibration_for(file, serial);
    if (reading.calibration.changes_values())
        reading.values = calibrated(reading.program_values, reading.calibration);
}

}  // namespace

Reading take_reading(const ReadingOptions &options, const Budget &budget)
{
    const auto start = Clock::now();
    Reading reading = take_reading_under_lock(options, budget);
    calibrate(reading, options.calibration);
    reading.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return reading;
}

}  // namespace wex_q40
