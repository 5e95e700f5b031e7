// VWEX_TRACE: a line per library call, with its arguments and result, and a
// line per protocol misuse the call caused.
#ifndef VMODULE_TRACE_H
#define VMODULE_TRACE_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "vwex.h"

namespace vmodule {

// Opens the trace for appending; says why on standard error when it cannot.
std::FILE *open_trace(const std::string &path);
// pins: the pin levels after the call; before and after: the counters around it.
void trace_call(std::FILE *trace, const Call &call, std::uint8_t pins, const ModuleCounters &before,
                const ModuleCounters &after);

}  // namespace vmodule

#endif
