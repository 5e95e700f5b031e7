// One whole measurement sequence of the driver against the virtual module,
// in process, with the sensor's answers and one failing library call chosen
// by the fuzzer's bytes. Aborts on any reading that is wrong, on the data
// line driven high, and on a handle left open.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "module_facts.h"
#include "vwex.h"
#include "wex.h"

using vmodule::Function;
using vmodule::ModuleConfig;

namespace {

constexpr unsigned max_fault_position = 320;  // past the longest sequence: no fault at all

class Input {
public:
    Input(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint16_t word() { return static_cast<std::uint16_t>(byte() << 8 | byte()); }

private:
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

ModuleConfig config_from(Input &in)
{
    ModuleConfig config;
    config.sensor.raw_temperature = in.word();
    config.sensor.raw_humidity = in.word();
    const std::uint8_t flags = in.byte();
    if (flags & 0x01)
        config.sensor.temperature_checksum = in.byte();
    if (flags & 0x02)
        config.sensor.humidity_checksum = in.byte();
    config.sensor.mute = flags & 0x04;
    config.sensor.never_ready = flags & 0x08;
    if (flags & 0x10)
        config.stuck = (flags & 0x20) ? sensor_model::Stuck::high : sensor_model::Stuck::low;
    config.sensor.busy_samples = in.byte() % 32u;
    config.fail_function = static_cast<Function>(in.byte() % (static_cast<unsigned>(Function::any) + 1));
    config.fail_call = in.word() % max_fault_position;
    return config;
}

void require(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "violated: %s\n", what);
        std::abort();
    }
}

bool checksum_right(int chosen, std::uint8_t command, std::uint16_t raw)
{
    return chosen < 0 || chosen == sensor_model::sensor_checksum_byte(command, static_cast<std::uint8_t>(raw >> 8),
                                                                 static_cast<std::uint8_t>(raw & 0xFF));
}

bool any_call_failed()
{
    for (const auto &call : vmodule::vwex_calls())
        if (call.status != FT_OK)
            return true;
    return false;
}

}  // namespace

// The poll sleep costs nothing here, so that a whole time-out takes microseconds.
void wex_poll_sleep() {}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The driver's diagnostics are not what is checked here.
    if (!std::freopen("/dev/null", "w", stdout))
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    Input in(data, size);
    const ModuleConfig config = config_from(in);
    vmodule::vwex_configure(config);

    wex w{};
    int temp = -1, hum = -1, closed = -1;
    if (wex_init(&w) == 0 && wex_open(&w) == 0) {
        temp = wex_read_temp(&w);
        if (temp == 0)
            hum = wex_read_hum(&w);
        closed = wex_close(&w);
    }

    const auto counters = vmodule::vwex_counters();
    require(counters.sensor.data_driven_high == 0, "the data line was driven high");
    require(counters.chip.bad_bit_mode == 0, "a bit mode other than 0xFF");
    require(counters.open_handles == (w.open ? 1u : 0u), "the record and the device disagree on the handle");

    // A failed library call may disturb a frame; only the checksum stands between it and the reading.
    if (any_call_failed())
        return 0;
    const auto &s = config.sensor;
    const bool sensor_sound = !s.mute && !s.never_ready && config.stuck == sensor_model::Stuck::none &&
                              s.busy_samples < wex_module::wait_samples;
    const bool temperature_right =
        checksum_right(s.temperature_checksum, wex_module::command_temperature, s.raw_temperature);
    const bool humidity_right = checksum_right(s.humidity_checksum, wex_module::command_humidity, s.raw_humidity);
    require((temp == 0) == (sensor_sound && temperature_right), "temperature frame judged wrongly");
    if (temp == 0) {
        require(w.temperature == wex_celsius_from_raw(s.raw_temperature), "the temperature is not the sensor's");
        require((hum == 0) == humidity_right, "humidity frame judged wrongly");
    }
    if (hum == 0)
        require(w.humidity == wex_humidity_from_raw(s.raw_humidity, w.temperature), "the humidity is not the sensor's");
    require(closed == 0, "a clean close failed");
    return 0;
}
