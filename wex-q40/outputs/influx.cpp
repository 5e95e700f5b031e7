#include <chrono>
#include <cstdio>

#include "outputs.h"

namespace wex_q40 {

namespace {

// Line protocol has no null: a field without a value is left out.
std::string influx_fields(const std::string &prefix, const Values &v)
{
    std::string fields = prefix + "temperature=" + v.temperature + "," + prefix + "humidity=" + v.humidity;
    if (v.dewpoint_is_number)
        fields += "," + prefix + "dewpoint=" + v.dewpoint;
    return fields;
}

}  // namespace

int run_influx(const ReadingOptions &reading, const Budget &budget)
{
    const Reading r = take_reading(reading, budget);
    if (!r.good) {
        std::fprintf(stderr, "wex-q40 influx: %s\n", r.failure.summary.c_str());
        if (!r.failure.advice.empty())
            std::fprintf(stderr, "wex-q40 influx: %s\n", r.failure.advice.c_str());
        for (const auto &line : r.failure.lines)
            std::fprintf(stderr, "wex-q40 influx: %s\n", line.c_str());
        return exit_status::failed_reading;
    }
    if (r.unclosed)
        std::fprintf(stderr, "wex-q40 influx: %s\n", unclosed_warning);
    const auto nanoseconds =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch());
    std::string fields = influx_fields("", r.values);
    // The program's own values beside the calibrated ones, in the same point.
    if (r.calibration.changes_values())
        fields += "," + influx_fields("uncalibrated_", r.program_values);
    std::printf("wex_q40 %s %lld\n", fields.c_str(), static_cast<long long>(nanoseconds.count()));
    return exit_status::good;
}

}  // namespace wex_q40
