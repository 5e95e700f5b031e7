#include <chrono>
#include <cstdio>

#include "commands.h"
#include "outputs.h"

namespace wex_q40 {

int run_influx(const Options &options, Clock::time_point deadline)
{
    const Reading r = take_reading(options, deadline);
    if (!r.good) {
        std::fprintf(stderr, "wex-q40 influx: %s\n", r.problem.c_str());
        if (!r.advice.empty())
            std::fprintf(stderr, "wex-q40 influx: %s\n", r.advice.c_str());
        for (const auto &line : r.lines)
            std::fprintf(stderr, "wex-q40 influx: %s\n", line.c_str());
        return exit_status::failed_reading;
    }
    if (r.unclosed)
        std::fprintf(stderr, "wex-q40 influx: %s\n", unclosed_warning);
    const auto nanoseconds =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch());
    std::string fields = "temperature=" + r.values.temperature + ",humidity=" + r.values.humidity;
    // Line protocol has no null: a field without a value is left out.
    if (r.values.dewpoint_is_number)
        fields += ",dewpoint=" + r.values.dewpoint;
    std::printf("wex_q40 %s %lld\n", fields.c_str(), static_cast<long long>(nanoseconds.count()));
    return exit_status::good;
}

}  // namespace wex_q40
