#include "sensor.h"

#include <algorithm>
#include <cmath>

#include "module_facts.h"

namespace sensor_model {

namespace {

using wex_module::command_humidity;
using wex_module::command_temperature;

// Written from the sensor's side and not shared with the driver: this model is what the driver is checked against.
constexpr std::uint8_t crc_polynomial = 0x31;
constexpr int bits_per_byte = 8;
constexpr int frame_bytes = 3;

constexpr double temperature_offset = -40.0;
constexpr double temperature_slope = 0.01;
constexpr double humidity_constant = -4.0;
constexpr double humidity_linear = 0.0405;
constexpr double humidity_square = -0.0000028;
constexpr double compensation_reference = 25.0;
constexpr double compensation_constant = 0.01;
constexpr double compensation_slope = 0.000008;

std::uint8_t crc_step(std::uint8_t crc, std::uint8_t byte)
{
    crc = static_cast<std::uint8_t>(crc ^ byte);
    for (int i = 0; i < bits_per_byte; ++i)
        crc = static_cast<std::uint8_t>((crc & 0x80) ? (crc << 1) ^ crc_polynomial : crc << 1);
    return crc;
}

std::uint8_t reversed(std::uint8_t byte)
{
    std::uint8_t out = 0;
    for (int i = 0; i < bits_per_byte; ++i, byte = static_cast<std::uint8_t>(byte >> 1))
        out = static_cast<std::uint8_t>((out << 1) | (byte & 1));
    return out;
}

std::uint16_t clamp_raw(double raw)
{
    if (!(raw > 0.0))
        return 0;
    return static_cast<std::uint16_t>(std::min(std::round(raw), 65535.0));
}

}  // namespace

std::uint8_t sensor_checksum_byte(std::uint8_t command, std::uint8_t high, std::uint8_t low)
{
    return reversed(crc_step(crc_step(crc_step(0, command), high), low));
}

double celsius_from_raw(std::uint16_t raw)
{
    return raw * temperature_slope + temperature_offset;
}

std::uint16_t raw_from_celsius(double celsius)
{
    return clamp_raw((celsius - temperature_offset) / temperature_slope);
}

std::uint16_t raw_from_humidity(double percent, double celsius)
{
    // RH as a quadratic in the raw word h: a h^2 + b h + c = 0.
    const double dt = celsius - compensation_reference;
    const double a = humidity_square;
    const double b = humidity_linear + compensation_slope * dt;
    const double c = humidity_constant + compensation_constant * dt - percent;
    const double discriminant = b * b - 4.0 * a * c;
    if (discriminant < 0.0)
        return clamp_raw(-b / (2.0 * a));  // beyond the curve's top: its highest point
    // The root on the rising branch, in the form that stays exact for small a.
    return clamp_raw(2.0 * c / (-b - std::sqrt(discriminant)));
}

Sensor::Sensor(const SensorConfig &config) : config_(config) {}

bool Sensor::pulls_data_low() const { return pull_low_; }

bool Sensor::data_line_high() const { return !pull_low_ && data_ != DataDrive::low; }

void Sensor::drive(bool clock_high, DataDrive data)
{
    const bool clock_before = clock_;
    const bool line_before = data_line_high();
    if (data == DataDrive::high && data_ != DataDrive::high)
        ++counters_.data_driven_high;
    clock_ = clock_high;
    data_ = data;
    if (clock_ != clock_before) {
        if (clock_)
            on_rising_edge();
        else
            on_falling_edge();
    } else if (clock_ && data_line_high() != line_before) {
        on_data_change_clock_high(line_before);
    }
}

void Sensor::sample()
{
    if (state_ != State::measuring || config_.never_ready)
        return;
    if (busy_left_ > 0) {
        --busy_left_;
    } else if (std::chrono::steady_clock::now() >= ready_at_) {
        state_ = State::ready;
        pull_low_ = true;
    }
}

void Sensor::on_data_change_clock_high(bool fell)
{
    if (fell) {
        start_step_ = 1;
    } else if (start_step_ == 3 && data_line_high()) {
        start_step_ = 4;
    } else {
        start_step_ = 0;
        ++counters_.data_changed_clock_high;
    }
}

bool Sensor::advance_start(bool rising)
{
    const bool line_low = !data_line_high();
    if (!rising && start_step_ == 1 && line_low) {
        start_step_ = 2;
    } else if (rising && start_step_ == 2 && line_low) {
        start_step_ = 3;
    } else if (!rising && start_step_ == 4) {
        start_step_ = 0;
        return true;
    } else {
        start_step_ = 0;
    }
    return false;
}

void Sensor::begin_transmission()
{
    ++counters_.starts;
    state_ = State::command;
    command_ = 0;
    bit_ = 0;
    pull_low_ = false;
}

void Sensor::on_rising_edge()
{
    switch (state_) {
    case State::command:
        command_ = static_cast<std::uint8_t>((command_ << 1) | (data_line_high() ? 1 : 0));
        ++bit_;
        break;
    case State::ready:
        state_ = State::sending;
        byte_ = 0;
        bit_ = 0;
        present_bit();
        break;
    case State::sending:
        present_bit();
        break;
    case State::sent_ack:
        acked_ = !data_line_high();
        break;
    case State::idle:
    case State::command_ack:
    case State::measuring:
        break;
    }
    advance_start(true);
}

void Sensor::on_falling_edge()
{
    switch (state_) {
    case State::command:
        if (bit_ == bits_per_byte) {
            ++counters_.commands;
            if (config_.mute) {
                state_ = State::idle;
            } else {
                state_ = State::command_ack;
                pull_low_ = true;
            }
        }
        break;
    case State::command_ack:
        pull_low_ = false;
        if (command_ == command_temperature || command_ == command_humidity) {
            begin_frame();
            state_ = State::measuring;
            busy_left_ = config_.busy_samples;
            ready_at_ = std::chrono::steady_clock::now() +
                        (command_ == command_temperature ? config_.temperature_time : config_.humidity_time);
        } else {
            state_ = State::idle;
        }
        break;
    case State::sending:
        if (++bit_ == bits_per_byte) {
            pull_low_ = false;
            if (byte_ == frame_bytes - 1)
                ++counters_.frames;
            state_ = State::sent_ack;
        }
        break;
    case State::sent_ack:
        if (acked_ && byte_ < frame_bytes - 1) {
            ++byte_;
            bit_ = 0;
            state_ = State::sending;
        } else {
            state_ = State::idle;
        }
        break;
    case State::idle:
    case State::measuring:
    case State::ready:
        break;
    }
    if (advance_start(false))
        begin_transmission();
}

void Sensor::begin_frame()
{
    frame_kind_ = command_ == command_temperature ? Frame::temperature : Frame::humidity;
    const std::uint16_t raw =
        frame_kind_ == Frame::temperature ? config_.raw_temperature : config_.raw_humidity;
    frame_[0] = static_cast<std::uint8_t>(raw >> 8);
    frame_[1] = static_cast<std::uint8_t>(raw & 0xFF);
    frame_[2] = sensor_checksum_byte(command_, frame_[0], frame_[1]);
    if (config_.bad_crc == frame_kind_)
        frame_[2] = static_cast<std::uint8_t>(frame_[2] ^ 0x01);
    const int chosen = frame_kind_ == Frame::temperature ? config_.temperature_checksum : config_.humidity_checksum;
    if (chosen >= 0)
        frame_[2] = static_cast<std::uint8_t>(chosen);
}

void Sensor::present_bit()
{
    bool high = (frame_[byte_] >> (bits_per_byte - 1 - bit_)) & 1;
    if (config_.flip_frame == frame_kind_ && config_.flip_bit == byte_ * bits_per_byte + bit_)
        high = !high;
    pull_low_ = !high;
}

}  // namespace sensor_model
