// In-process control of the virtual module behind the seven D2XX functions
// of the project's stand-in libftd2xx.so. The program itself never uses this;
// tests do, and the library configures itself from VWEX_* variables on load.
#ifndef VMODULE_VWEX_H
#define VMODULE_VWEX_H

#include <cstdint>
#include <string>
#include <vector>

#include "chip.h"
#include "sensor.h"

namespace vmodule {

enum class Function { set_vid_pid, open, set_timeouts, set_bit_mode, get_bit_mode, write, close, any };

struct ModuleConfig {
    sensor_model::SensorConfig sensor;
    sensor_model::Stuck stuck = sensor_model::Stuck::none;
    bool absent = false;              // no module attached
    Function fail_function = Function::any;
    unsigned fail_call = 0;           // 1-based count of calls of fail_function to fail; 0: none
    unsigned latency_us = 0;          // modelled USB latency added to every call
    std::string trace_path;           // append a line per call here, when set
    std::string report_path;          // write the counters here when the library unloads
};

struct Call {
    Function function;
    std::uint32_t a = 0, b = 0, c = 0;  // the call's scalar arguments, in order (unused ones 0)
    std::vector<std::uint8_t> data;     // bytes written by FT_Write
    std::uint32_t status = 0;
    std::uint32_t result = 0;           // pins read, bytes written
};

struct ModuleCounters {
    sensor_model::SensorCounters sensor;
    sensor_model::ChipCounters chip;
    unsigned calls = 0;
    unsigned open_handles = 0;
    std::uint64_t latency_waited_ns = 0;  // time actually spent in the modelled latency
};

// Replace the configuration, the device state, the counters and the call log.
void vwex_configure(const ModuleConfig &config);
// The configuration the VWEX_* environment variables describe; throws
// std::invalid_argument naming the variable on a value it cannot use.
ModuleConfig vwex_config_from_env();
ModuleCounters vwex_counters();
const std::vector<Call> &vwex_calls();
const char *vwex_function_name(Function function);

}  // namespace vmodule

#endif
