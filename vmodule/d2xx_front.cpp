#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <optional>
#include <stdexcept>

#include "d2xx.h"
#include "vwex.h"

namespace vmodule {

namespace {

constexpr std::uint32_t module_vid = 0x0403;
constexpr std::uint32_t module_pid = 0xFBF9;
constexpr unsigned function_count = static_cast<unsigned>(Function::any);
constexpr int flip_bits = 24;

const char *const function_names[] = {"FT_SetVIDPID",   "FT_Open",       "FT_SetTimeouts",
                                      "FT_SetBitMode",  "FT_GetBitMode", "FT_Write",
                                      "FT_Close",       "any"};

struct Module {
    std::mutex mutex;
    ModuleConfig config;
    Sensor sensor;
    std::optional<Chip> chip;
    std::FILE *trace = nullptr;
    std::vector<Call> calls;
    unsigned calls_of[function_count] = {};
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
    void write_report() const;
};

Module &module()
{
    static Module instance;
    return instance;
}

std::uintptr_t token_of(FT_HANDLE handle) { return reinterpret_cast<std::uintptr_t>(handle); }

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
    write_report();
    if (trace)
        std::fclose(trace);
}

void Module::configure(const ModuleConfig &new_config)
{
    if (trace)
        std::fclose(trace);
    config = new_config;
    sensor = Sensor(config.sensor);
    chip.emplace(sensor, config.stuck);
    trace = config.trace_path.empty() ? nullptr : std::fopen(config.trace_path.c_str(), "a");
    if (!config.trace_path.empty() && !trace)
        std::fprintf(stderr, "vwex: VWEX_TRACE: %s\n", std::strerror(errno));
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

void Module::log(const Call &call, const ModuleCounters &before)
{
    calls.push_back(call);
    if (!trace)
        return;
    std::fprintf(trace, "%s\n", describe(call, chip->levels()).c_str());
    const ModuleCounters after = counters();
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

void Module::write_report() const
{
    if (config.report_path.empty())
        return;
    std::FILE *out = std::fopen(config.report_path.c_str(), "w");
    if (!out) {
        std::fprintf(stderr, "vwex: VWEX_REPORT: %s\n", std::strerror(errno));
        return;
    }
    const ModuleCounters c = counters();
    std::fprintf(out,
                 "calls=%u\nopen_handles=%u\ndata_driven_high=%u\ndata_changed_clock_high=%u\n"
                 "bad_bit_mode=%u\nstarts=%u\ncommands=%u\nframes=%u\n",
                 c.calls, c.open_handles, c.sensor.data_driven_high, c.sensor.data_changed_clock_high,
                 c.chip.bad_bit_mode, c.sensor.starts, c.sensor.commands, c.sensor.frames);
    std::fclose(out);
}

std::uint64_t now_ns()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::uint64_t>(t.tv_sec) * 1000000000u + static_cast<std::uint64_t>(t.tv_nsec);
}

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

// One call of the library: latency, the configured fault (a failed call changes
// nothing), then the call's own work, the log and the trace.
template <typename Body>
FT_STATUS run(Call call, FT_STATUS fault_status, Body body)
{
    Module &m = module();
    std::lock_guard<std::mutex> lock(m.mutex);
    if (m.config.latency_us)
        m.latency_waited_ns += wait_latency(m.config.latency_us);
    const ModuleCounters before = m.counters();
    call.status = m.fault_hits(call.function) ? fault_status : body(m, call);
    m.log(call, before);
    return call.status;
}

Call call_of(Function function, std::uint32_t a = 0, std::uint32_t b = 0, std::uint32_t c = 0)
{
    Call call{};
    call.function = function;
    call.a = a;
    call.b = b;
    call.c = c;
    return call;
}

std::uint32_t arg(FT_HANDLE handle) { return static_cast<std::uint32_t>(token_of(handle)); }

[[noreturn]] void bad(const char *variable, const std::string &reason)
{
    throw std::invalid_argument(std::string(variable) + ": " + reason);
}

const char *env(const char *variable)
{
    const char *value = std::getenv(variable);
    return value && *value ? value : nullptr;
}

unsigned long parse_unsigned(const char *variable, const char *text, unsigned long max, bool hex_ok)
{
    const bool hex = hex_ok && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char *digits = hex ? text + 2 : text;
    if (!std::isxdigit(static_cast<unsigned char>(*digits)))
        bad(variable, "not a number: " + std::string(text));
    char *end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(digits, &end, hex ? 16 : 10);
    if (*end != '\0')
        bad(variable, "not a number: " + std::string(text));
    if (errno == ERANGE || value > max)
        bad(variable, "out of range: " + std::string(text));
    return value;
}

double parse_double(const char *variable, const char *text)
{
    char *end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(value))
        bad(variable, "not a number: " + std::string(text));
    return value;
}

bool parse_flag(const char *variable, const char *text)
{
    if (std::strcmp(text, "0") != 0 && std::strcmp(text, "1") != 0)
        bad(variable, "expected 0 or 1, got " + std::string(text));
    return text[0] == '1';
}

// The temperature the sensor will report, which its humidity word is compensated for.
double celsius_from_raw(std::uint16_t raw) { return raw * 0.01 - 40.0; }

Frame parse_frame(const char *variable, const std::string &text)
{
    if (text == "temp")
        return Frame::temperature;
    if (text == "hum")
        return Frame::humidity;
    bad(variable, "expected temp or hum, got " + text);
}

}  // namespace

const char *vwex_function_name(Function function) { return function_names[static_cast<unsigned>(function)]; }

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

ModuleConfig vwex_config_from_env()
{
    ModuleConfig config;
    SensorConfig &sensor = config.sensor;
    if (env("VWEX_TEMP") && env("VWEX_RAW_TEMP"))
        bad("VWEX_TEMP", "VWEX_RAW_TEMP is set too");
    if (env("VWEX_HUM") && env("VWEX_RAW_HUM"))
        bad("VWEX_HUM", "VWEX_RAW_HUM is set too");
    if (const char *v = env("VWEX_RAW_TEMP"))
        sensor.raw_temperature = static_cast<std::uint16_t>(parse_unsigned("VWEX_RAW_TEMP", v, 0xFFFF, true));
    if (const char *v = env("VWEX_TEMP"))
        sensor.raw_temperature = raw_from_celsius(parse_double("VWEX_TEMP", v));
    if (const char *v = env("VWEX_RAW_HUM"))
        sensor.raw_humidity = static_cast<std::uint16_t>(parse_unsigned("VWEX_RAW_HUM", v, 0xFFFF, true));
    if (const char *v = env("VWEX_HUM"))
        sensor.raw_humidity = raw_from_humidity(parse_double("VWEX_HUM", v), celsius_from_raw(sensor.raw_temperature));
    if (const char *v = env("VWEX_BUSY")) {
        if (std::strcmp(v, "forever") == 0)
            sensor.never_ready = true;
        else
            sensor.busy_samples = static_cast<unsigned>(parse_unsigned("VWEX_BUSY", v, 0xFFFFFFFFu, false));
    }
    if (const char *v = env("VWEX_MUTE"))
        sensor.mute = parse_flag("VWEX_MUTE", v);
    if (const char *v = env("VWEX_ABSENT"))
        config.absent = parse_flag("VWEX_ABSENT", v);
    if (const char *v = env("VWEX_FAIL")) {
        const std::string text = v;
        const auto colon = text.find(':');
        const std::string name = text.substr(0, colon);
        unsigned f = 0;
        while (f <= function_count && name != function_names[f])
            ++f;
        if (colon == std::string::npos || f > function_count)
            bad("VWEX_FAIL", "expected <function>:<n>, got " + text);
        config.fail_function = static_cast<Function>(f);
        config.fail_call = static_cast<unsigned>(
            parse_unsigned("VWEX_FAIL", text.c_str() + colon + 1, 0xFFFFFFFFu, false));
        if (config.fail_call == 0)
            bad("VWEX_FAIL", "calls are counted from 1");
    }
    if (const char *v = env("VWEX_BAD_CRC"))
        sensor.bad_crc = parse_frame("VWEX_BAD_CRC", v);
    if (const char *v = env("VWEX_FLIP")) {
        const std::string text = v;
        const auto colon = text.find(':');
        if (colon == std::string::npos)
            bad("VWEX_FLIP", "expected temp:<bit> or hum:<bit>, got " + text);
        sensor.flip_frame = parse_frame("VWEX_FLIP", text.substr(0, colon));
        sensor.flip_bit = static_cast<int>(
            parse_unsigned("VWEX_FLIP", text.c_str() + colon + 1, flip_bits - 1, false));
    }
    if (const char *v = env("VWEX_STUCK")) {
        if (std::strcmp(v, "low") == 0)
            config.stuck = Stuck::low;
        else if (std::strcmp(v, "high") == 0)
            config.stuck = Stuck::high;
        else
            bad("VWEX_STUCK", "expected low or high, got " + std::string(v));
    }
    if (const char *v = env("VWEX_LATENCY_US"))
        config.latency_us = static_cast<unsigned>(parse_unsigned("VWEX_LATENCY_US", v, 10000000, false));
    if (const char *v = env("VWEX_TRACE"))
        config.trace_path = v;
    if (const char *v = env("VWEX_REPORT"))
        config.report_path = v;
    return config;
}

}  // namespace vmodule

using namespace vmodule;

namespace {

// The library configures itself as it is loaded, before the program's first call.
const bool configured_on_load = (module(), true);

}  // namespace

extern "C" {

FT_STATUS FT_SetVIDPID(std::uint32_t vid, std::uint32_t pid)
{
    return run(call_of(Function::set_vid_pid, vid, pid), FT_IO_ERROR, [&](Module &m, Call &) {
        m.vid = vid;
        m.pid = pid;
        return FT_OK;
    });
}

FT_STATUS FT_Open(int index, FT_HANDLE *handle)
{
    return run(call_of(Function::open, static_cast<std::uint32_t>(index)), FT_DEVICE_NOT_FOUND,
               [&](Module &m, Call &call) {
                   if (!handle)
                       return FT_INVALID_PARAMETER;
                   if (m.config.absent || index != 0 || m.vid != module_vid || m.pid != module_pid)
                       return FT_DEVICE_NOT_FOUND;
                   if (m.open_token)
                       return FT_DEVICE_NOT_OPENED;
                   m.open_token = ++m.last_token;
                   m.chip->reset();
                   *handle = reinterpret_cast<FT_HANDLE>(m.open_token);
                   call.result = static_cast<std::uint32_t>(m.open_token);
                   return FT_OK;
               });
}

FT_STATUS FT_SetTimeouts(FT_HANDLE handle, std::uint32_t read_ms, std::uint32_t write_ms)
{
    return run(call_of(Function::set_timeouts, arg(handle), read_ms, write_ms), FT_IO_ERROR,
               [&](Module &m, Call &) { return m.valid(handle) ? FT_OK : FT_INVALID_HANDLE; });
}

FT_STATUS FT_SetBitMode(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode)
{
    return run(call_of(Function::set_bit_mode, arg(handle), mask, mode), FT_IO_ERROR, [&](Module &m, Call &) {
        if (!m.valid(handle))
            return FT_INVALID_HANDLE;
        m.chip->set_bit_mode(mask, mode);
        return FT_OK;
    });
}

FT_STATUS FT_GetBitMode(FT_HANDLE handle, std::uint8_t *pins)
{
    return run(call_of(Function::get_bit_mode, arg(handle)), FT_IO_ERROR, [&](Module &m, Call &call) {
        if (!m.valid(handle))
            return FT_INVALID_HANDLE;
        if (!pins)
            return FT_INVALID_PARAMETER;
        *pins = m.chip->read_pins();
        call.result = *pins;
        return FT_OK;
    });
}

FT_STATUS FT_Write(FT_HANDLE handle, void *buffer, std::uint32_t length, std::uint32_t *written)
{
    Call record = call_of(Function::write, arg(handle), length);
    const auto *bytes = static_cast<const std::uint8_t *>(buffer);
    if (bytes)
        record.data.assign(bytes, bytes + length);
    if (written)
        *written = 0;
    return run(std::move(record), FT_IO_ERROR, [&](Module &m, Call &call) {
        if (!m.valid(handle))
            return FT_INVALID_HANDLE;
        if (!bytes || !written)
            return FT_INVALID_PARAMETER;
        for (std::uint32_t i = 0; i < length; ++i)
            m.chip->write(bytes[i]);
        *written = length;
        call.result = length;
        return FT_OK;
    });
}

FT_STATUS FT_Close(FT_HANDLE handle)
{
    return run(call_of(Function::close, arg(handle)), FT_IO_ERROR, [&](Module &m, Call &) {
        if (!m.valid(handle))
            return FT_INVALID_HANDLE;
        m.open_token = 0;
        return FT_OK;
    });
}

}  // extern "C"
