// The bit-bang USB chip of the module: eight pins, a direction mask, an
// output latch, pin 0 wired to the sensor's clock and pin 1 to its data line.
// An input pin reads high unless something pulls it low.
#ifndef SENSOR_MODEL_CHIP_H
#define SENSOR_MODEL_CHIP_H

#include <cstdint>

#include "sensor.h"

namespace sensor_model {

enum class Stuck { none, low, high };  // a data line stuck at one level, whatever drives it

struct ChipCounters {
    unsigned bad_bit_mode = 0;  // bit mode other than 0xFF requested
};

class Chip {
public:
    explicit Chip(Sensor &sensor, Stuck stuck = Stuck::none);

    void reset();  // as after opening the chip: bit-bang off, all pins inputs, latch 0
    void set_bit_mode(std::uint8_t mask, std::uint8_t mode);
    void write(std::uint8_t levels);  // one byte of bit-bang output: the new latch
    std::uint8_t read_pins();         // present level of all eight pins; a sample for the sensor
    std::uint8_t levels() const;      // the same levels, without the sensor seeing a sample

    std::uint8_t mask() const { return mask_; }
    std::uint8_t latch() const { return latch_; }
    std::uint8_t mode() const { return mode_; }
    const ChipCounters &counters() const { return counters_; }

private:
    void update_sensor();

    Sensor &sensor_;
    Stuck stuck_;
    ChipCounters counters_;
    std::uint8_t mask_ = 0;
    std::uint8_t latch_ = 0;
    std::uint8_t mode_ = 0;
};

}  // namespace sensor_model

#endif
