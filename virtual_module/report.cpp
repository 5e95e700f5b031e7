#include "report.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vmodule {

void write_report(const std::string &path, const ModuleCounters &counters)
{
    std::FILE *out = std::fopen(path.c_str(), "w");
    if (!out) {
        std::fprintf(stderr, "vwex: VWEX_REPORT: %s\n", std::strerror(errno));
        return;
    }
    const ModuleCounters &c = counters;
    std::fprintf(out,
                 "calls=%u\nopen_handles=%u\ndata_driven_high=%u\ndata_changed_clock_high=%u\n"
                 "bad_bit_mode=%u\nstarts=%u\ncommands=%u\nframes=%u\n",
                 c.calls, c.open_handles, c.sensor.data_driven_high, c.sensor.data_changed_clock_high,
                 c.chip.bad_bit_mode, c.sensor.starts, c.sensor.commands, c.sensor.frames);
    std::fclose(out);
}

}  // namespace vmodule
