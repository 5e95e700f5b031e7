#include "trace.h"

#include <cerrno>
#include <cstring>

namespace vmodule {

namespace {

std::string describe(const Call &call, std::uint8_t pins)
{
    char text[160];
    const char *name = vwex_function_name(call.function);
    switch (call.function) {
    case Function::set_vid_pid:
        std::snprintf(text, sizeof text, "%s(0x%04X, 0x%04X) = %u", name, call.a, call.b, call.status);
        break;
    case Function::open:
        std::snprintf(text, sizeof text, "%s(%d) = %u handle=0x%X", name, static_cast<int>(call.a),
                      call.status, call.result);
        break;
    case Function::set_timeouts:
        std::snprintf(text, sizeof text, "%s(0x%X, %u, %u) = %u", name, call.a, call.b, call.c, call.status);
        break;
    case Function::set_bit_mode:
        std::snprintf(text, sizeof text, "%s(0x%X, 0x%02X, 0x%02X) = %u pins=0x%02X", name, call.a,
                      call.b, call.c, call.status, pins);
        break;
    case Function::get_bit_mode:
        std::snprintf(text, sizeof text, "%s(0x%X) = %u pins=0x%02X", name, call.a, call.status,
                      call.result);
        break;
    case Function::write: {
        std::string bytes;
        for (std::uint8_t byte : call.data) {
            char hex[8];
            std::snprintf(hex, sizeof hex, bytes.empty() ? "0x%02X" : ", 0x%02X", byte);
            bytes += hex;
        }
        std::snprintf(text, sizeof text, "%s(0x%X, [%s], %u) = %u written=%u pins=0x%02X", name,
                      call.a, bytes.c_str(), call.b, call.status, call.result, pins);
        break;
    }
    case Function::close:
    case Function::any:
        std::snprintf(text, sizeof text, "%s(0x%X) = %u", name, call.a, call.status);
        break;
    }
    return text;
}

}  // namespace

std::FILE *open_trace(const std::string &path)
{
    std::FILE *trace = std::fopen(path.c_str(), "a");
    if (!trace)
        std::fprintf(stderr, "vwex: VWEX_TRACE: %s\n", std::strerror(errno));
    return trace;
}

void trace_call(std::FILE *trace, const Call &call, std::uint8_t pins, const ModuleCounters &before,
                const ModuleCounters &after)
{
    std::fprintf(trace, "%s\n", describe(call, pins).c_str());
    const struct {
        unsigned count;
        const char *what;
    } misuses[] = {
        {after.sensor.data_driven_high - before.sensor.data_driven_high, "data line driven high"},
        {after.sensor.data_changed_clock_high - before.sensor.data_changed_clock_high,
         "data line changed while the clock was high"},
        {after.chip.bad_bit_mode - before.chip.bad_bit_mode, "bit mode other than 0xFF"},
    };
    for (const auto &misuse : misuses)
        for (unsigned i = 0; i < misuse.count; ++i)
            std::fprintf(trace, "misuse: %s\n", misuse.what);
    std::fflush(trace);
}

}  // namespace vmodule
