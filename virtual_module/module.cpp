#include "module.h"

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

#include "report.h"
#include "trace.h"

namespace vmodule {

Module &module()
{
    static Module instance;
    return instance;
}

Module::Module()
{
    try {
        configure(vwex_config_from_env());
    } catch (const std::invalid_argument &error) {
        std::fprintf(stderr, "vwex: %s\n", error.what());
        ModuleConfig absent;
        absent.absent = true;
        configure(absent);
    }
}

Module::~Module()
{
    if (!config.report_path.empty())
        write_report(config.report_path, counters());
    if (trace)
        std::fclose(trace);
}

void Module::configure(const ModuleConfig &new_config)
{
    if (trace)
        std::fclose(trace);
    config = new_config;
    sensor = sensor_model::Sensor(config.sensor);
    chip.emplace(sensor, config.stuck);
    trace = config.trace_path.empty() ? nullptr : open_trace(config.trace_path);
    calls.clear();
    std::fill(std::begin(calls_of), std::end(calls_of), 0u);
    vid = pid = 0;
    open_token = 0;
    latency_waited_ns = 0;
}

ModuleCounters Module::counters() const
{
    ModuleCounters out;
    out.sensor = sensor.counters();
    out.chip = chip->counters();
    out.calls = static_cast<unsigned>(calls.size());
    out.open_handles = open_token != 0 ? 1 : 0;
    out.latency_waited_ns = latency_waited_ns;
    return out;
}

bool Module::valid(FT_HANDLE handle) const { return open_token != 0 && token_of(handle) == open_token; }

bool Module::fault_hits(Function function)
{
    const unsigned n = ++calls_of[static_cast<unsigned>(function)];
    if (config.fail_call == 0)
        return false;
    if (config.fail_function == Function::any)
        return calls.size() + 1 == config.fail_call;
    return config.fail_function == function && n == config.fail_call;
}

void Module::log(const Call &call, const ModuleCounters &before)
{
    calls.push_back(call);
    if (trace)
        trace_call(trace, call, chip->levels(), before, counters());
}

namespace {

std::uint64_t now_ns()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::uint64_t>(t.tv_sec) * 1000000000u + static_cast<std::uint64_t>(t.tv_nsec);
}

}  // namespace

// Sleeps to an absolute deadline, so that wake-up delays do not add up over the calls.
std::uint64_t wait_latency(unsigned latency_us)
{
    const std::uint64_t start = now_ns();
    const std::uint64_t deadline = start + std::uint64_t{latency_us} * 1000u;
    timespec until{static_cast<time_t>(deadline / 1000000000u), static_cast<long>(deadline % 1000000000u)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
    return now_ns() - start;
}

void vwex_configure(const ModuleConfig &config)
{
    Module &m = module();
    std::lock_guard<std::mutex> lock(m.mutex);
    m.configure(config);
}

ModuleCounters vwex_counters()
{
    Module &m = module();
    std::lock_guard<std::mutex> lock(m.mutex);
    return m.counters();
}

const std::vector<Call> &vwex_calls() { return module().calls; }

}  // namespace vmodule
