// The module's bit-bang chip emulated at the USB level: a umockdev testbed
// with one FT232R at 0403:fbf9 whose usbfs requests are answered here, pins
// wired to the shared chip and sensor models. The process must run under
// umockdev's preload; programs it starts see the same device.
#ifndef USBEMU_EMULATOR_H
#define USBEMU_EMULATOR_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "chip.h"
#include "sensor.h"

namespace usbemu {

struct Config {
    bool present = true;  // false: an empty bus
    vmodule::SensorConfig sensor;
    vmodule::Stuck stuck = vmodule::Stuck::none;
    // Transfers answered before the device vanishes (ENODEV for every request
    // from then on); 0: never.
    unsigned vanish_after = 0;
    bool node_closed = false;        // device node with mode 000
    bool claimed_elsewhere = false;  // another program holds the interface through usbfs
    bool serial_driver = true;       // the kernel's serial driver is bound until detached
};

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
    vmodule::SensorCounters sensor;
    vmodule::ChipCounters chip;
    unsigned claims = 0;    // interface claims granted
    unsigned releases = 0;
    unsigned refused = 0;   // requests answered ENODEV after the device vanished
    unsigned stalled = 0;   // control requests the chip does not know
};

class Emulator {
public:
    static constexpr std::uint16_t vendor_id = 0x0403;
    static constexpr std::uint16_t product_id = 0xFBF9;
    static constexpr const char *node = "/dev/bus/usb/001/002";

    explicit Emulator(const Config &config = Config{});
    ~Emulator();
    Emulator(const Emulator &) = delete;
    Emulator &operator=(const Emulator &) = delete;

    std::vector<Request> log() const;
    Counters counters() const;
    std::string root_dir() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// True when this process runs under umockdev's preload.
bool preloaded();
// Returns at once when preloaded; otherwise starts this program again under
// umockdev-wrapper with the same arguments, and only returns by throwing.
void run_under_preload(char **argv);

}  // namespace usbemu

#endif
