#include "chip.h"

#include "module_facts.h"

namespace sensor_model {

using wex_module::clock_pin;
using wex_module::data_pin;

Chip::Chip(Sensor &sensor, Stuck stuck) : sensor_(sensor), stuck_(stuck) {}

void Chip::reset()
{
    mask_ = 0;
    latch_ = 0;
    mode_ = 0;
    update_sensor();
}

void Chip::set_bit_mode(std::uint8_t mask, std::uint8_t mode)
{
    mask_ = mask;
    mode_ = mode;
    if (mode != wex_module::bit_bang_mode)
        ++counters_.bad_bit_mode;
    update_sensor();
}

void Chip::write(std::uint8_t levels)
{
    latch_ = levels;
    update_sensor();
}

std::uint8_t Chip::read_pins()
{
    sensor_.sample();
    return levels();
}

std::uint8_t Chip::levels() const
{
    // Inputs float high through their pull-ups; outputs carry the latch.
    auto pins = static_cast<std::uint8_t>((latch_ & mask_) | static_cast<std::uint8_t>(~mask_));
    const bool data_high =
        stuck_ == Stuck::none ? sensor_.data_line_high() : stuck_ == Stuck::high;
    pins = static_cast<std::uint8_t>(data_high ? pins | data_pin : pins & ~data_pin);
    return pins;
}

void Chip::update_sensor()
{
    const bool clock_high = !(mask_ & clock_pin) || (latch_ & clock_pin);
    DataDrive data = DataDrive::released;
    if (mask_ & data_pin)
        data = (latch_ & data_pin) ? DataDrive::high : DataDrive::low;
    // A stuck line overrides both sides, so the sensor sees the stuck level too;
    // the host driving it high is still reported.
    if (stuck_ == Stuck::low)
        data = DataDrive::low;
    else if (stuck_ == Stuck::high && data == DataDrive::low)
        data = DataDrive::released;
    sensor_.drive(clock_high, data);
}

}  // namespace sensor_model
