// Takes readings with the real driver against the virtual module, in process,
// and reports per reading: library calls, wall time, CPU time, and the
// overhead above the design's floor (two 100 ms poll sleeps) and the modelled
// USB latency of every call.
#include <sys/prctl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "vwex.h"
#include "wex.h"

namespace {

constexpr double poll_floor_ms = 2 * 100.0;

double cpu_ms()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

struct Sample {
    unsigned calls;
    double wall_ms, cpu_ms, overhead_ms;
};

bool take_reading()
{
    wex w{};
    const bool ok = wex_init(&w) == 0 && wex_open(&w) == 0 && wex_read_temp(&w) == 0 && wex_read_hum(&w) == 0;
    return wex_close(&w) == 0 && ok;
}

Sample measure(unsigned latency_us)
{
    vmodule::ModuleConfig config;
    config.latency_us = latency_us;
    vmodule::vwex_configure(config);
    const double cpu_start = cpu_ms();
    const auto start = std::chrono::steady_clock::now();
    if (!take_reading()) {
        std::fprintf(stderr, "wex_bench: a reading failed\n");
        std::exit(1);
    }
    const double wall = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    const double cpu = cpu_ms() - cpu_start;
    const auto counters = vmodule::vwex_counters();
    const double latency_ms = static_cast<double>(counters.latency_waited_ns) / 1e6;
    return {counters.calls, wall, cpu, wall - poll_floor_ms - latency_ms};
}

double mean(const std::vector<double> &v)
{
    double sum = 0;
    for (double x : v)
        sum += x;
    return sum / static_cast<double>(v.size());
}

}  // namespace

int main(int argc, char **argv)
{
    char *end = nullptr;
    const long readings = argc > 1 ? std::strtol(argv[1], &end, 10) : 10;
    if (readings < 1 || readings > 100000 || (end != nullptr && *end != '\0')) {
        std::fprintf(stderr, "usage: wex_bench [readings]\n");
        return 2;
    }
    // Default timer slack would add up to 50 us to every modelled latency and poll sleep.
    prctl(PR_SET_TIMERSLACK, 1UL);

    std::printf("%ld readings each; times in ms per reading (mean, max overhead)\n", readings);
    std::printf("%-12s %6s %10s %10s %14s %14s\n", "latency/call", "calls", "wall", "cpu", "overhead", "max overhead");
    for (unsigned latency_us : {0u, 125u, 1000u}) {
        std::vector<double> wall, cpu, overhead;
        unsigned calls = 0;
        for (long i = 0; i < readings; ++i) {
            const Sample s = measure(latency_us);
            calls = s.calls;
            wall.push_back(s.wall_ms);
            cpu.push_back(s.cpu_ms);
            overhead.push_back(s.overhead_ms);
        }
        std::printf("%9.3f ms %6u %10.3f %10.3f %14.3f %14.3f\n", latency_us / 1000.0, calls, mean(wall), mean(cpu),
                    mean(overhead), *std::max_element(overhead.begin(), overhead.end()));
    }
    return 0;
}
