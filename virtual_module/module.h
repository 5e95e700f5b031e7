// The one virtual module behind the seven functions: its configuration,
// device state, call log and counters.
#ifndef VMODULE_MODULE_H
#define VMODULE_MODULE_H

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <vector>

#include "d2xx.h"
#include "vwex.h"

namespace vmodule {

struct Module {
    std::mutex mutex;
    ModuleConfig config;
    sensor_model::Sensor sensor;
    std::optional<sensor_model::Chip> chip;
    std::FILE *trace = nullptr;
    std::vector<Call> calls;
    unsigned calls_of[static_cast<unsigned>(Function::any)] = {};
    std::uint32_t vid = 0, pid = 0;
    std::uintptr_t open_token = 0;  // 0 while closed
    std::uintptr_t last_token = 0;
    std::uint64_t latency_waited_ns = 0;

    Module();
    ~Module();
    void configure(const ModuleConfig &new_config);
    ModuleCounters counters() const;
    bool valid(FT_HANDLE handle) const;
    bool fault_hits(Function function);
    void log(const Call &call, const ModuleCounters &before);
};

// Made on first use, which is when the library is loaded.
Module &module();

inline std::uintptr_t token_of(FT_HANDLE handle) { return reinterpret_cast<std::uintptr_t>(handle); }

// Waits out the modelled USB latency of one call; returns the time it took.
std::uint64_t wait_latency(unsigned latency_us);

}  // namespace vmodule

#endif
