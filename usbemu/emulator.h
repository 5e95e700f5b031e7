// The module's bit-bang chip emulated at the USB level: a umockdev testbed
// with one or more FT232R at the module's ids whose usbfs requests are
// answered here, pins wired to the shared chip and sensor models. The process
// must run under umockdev's preload; programs it starts see the same devices.
#ifndef USBEMU_EMULATOR_H
#define USBEMU_EMULATOR_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "chip.h"
#include "preload.h"
#include "sensor.h"

namespace usbemu {

// Where a module sits: its bus, its device number there, and the hub ports
// from the root hub down (sysfs name "1-2.3" is bus 1, ports 2 then 3).
struct Placement {
    unsigned bus = 1;
    unsigned address = 2;
    std::vector<unsigned> ports = {1};
};

// How one transfer fails: stall (-EPIPE), timeout (in flight until the
// program discards it), short (half the bytes asked, rounded down; a transfer
// without data completes), gone (ENODEV and the module leaves the bus, as unplugged).
enum class FaultKind { stall, timeout, short_transfer, gone };

struct TransferFault {
    unsigned transfer = 0;  // counted from 1 over every URB submitted to the module
    FaultKind kind = FaultKind::stall;
};

// A sensor busy for the given conversion times after each command, as a real one is.
inline sensor_model::SensorConfig timed_sensor(sensor_model::ConversionTimes times)
{
    sensor_model::SensorConfig sensor;
    sensor.temperature_time = times.temperature;
    sensor.humidity_time = times.humidity;
    return sensor;
}

struct Module {
    Placement placement;
    sensor_model::SensorConfig sensor = timed_sensor(sensor_model::typical_conversion);
    std::chrono::microseconds latency{0};  // how long after its submission each transfer completes
    sensor_model::Stuck stuck = sensor_model::Stuck::none;
    // Transfers answered before the module is unplugged (as a fault "gone"
    // at the next one); 0: never.
    unsigned vanish_after = 0;
    std::vector<TransferFault> faults;
    bool node_closed = false;        // device node with mode 000
    bool claimed_elsewhere = false;  // another program holds the interface through usbfs
    // The kernel's serial driver bound until detached: it knows not the module's
    // ID, so only once an administrator has added it by hand.
    bool serial_driver = false;
    std::string serial;              // the serial number sysfs shows; empty: the device has none
};

// The first module's settings, and the modules attached after it.
struct Config : Module {
    bool present = true;  // false: an empty bus
    std::vector<Module> more;
};

// One module whose sensor is ready at the first poll, for what does not depend on timing.
inline Config fast_module()
{
    Config config;
    config.sensor = sensor_model::SensorConfig{};
    return config;
}

enum class Transfer { control_out, control_in, bulk_out, bulk_in };

// One URB as it reached the device.
struct Request {
    Transfer transfer;
    std::uint8_t request = 0;  // control: bRequest
    std::uint16_t value = 0;   // control: wValue
    std::uint16_t index = 0;   // control: wIndex
    std::vector<std::uint8_t> data;  // OUT payload; IN: what the device answered
};

struct Counters {
    sensor_model::SensorCounters sensor;
    sensor_model::ChipCounters chip;
    unsigned claims = 0;    // interface claims granted
    unsigned releases = 0;  // claims given back with USBDEVFS_RELEASEINTERFACE
    unsigned released_on_close = 0;  // claims dropped because their holder closed the node
    unsigned busy = 0;      // claims refused because another program held the interface
    unsigned released_on_unplug = 0;  // claims dropped because the module left the bus
    unsigned refused = 0;   // requests answered ENODEV after the device vanished
    unsigned stalled = 0;   // control requests the chip does not know
    unsigned discarded = 0; // URBs the program gave up on and discarded
    unsigned open_now = 0;  // opens of the node its programs have not closed yet
    bool held = false;      // some open holds the interface
    bool unplugged = false; // the module has left the bus
};

class Emulator {
public:
    explicit Emulator(const Config &config = Config{});
    ~Emulator();
    Emulator(const Emulator &) = delete;
    Emulator &operator=(const Emulator &) = delete;

    // Module 0 is the config's own, then the config's "more" in order; on an
    // empty bus module 0 has an empty log and zero counters.
    std::vector<Request> log(std::size_t module = 0) const;
    Counters counters(std::size_t module = 0) const;
    std::string node_of(std::size_t module) const;
    std::string root_dir() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace usbemu

#endif
