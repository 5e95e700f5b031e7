// The chip's answers: its vendor (SIO) control requests and its two bulk endpoints.
#include "device.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>

namespace usbemu {

namespace {

constexpr std::uint8_t direction_in = 0x80;
constexpr std::uint8_t type_mask = 0x60;
constexpr std::uint8_t type_vendor = 0x40;

constexpr std::uint8_t sio_reset = 0x00;
constexpr std::uint8_t sio_set_modem_ctrl = 0x01;
constexpr std::uint8_t sio_set_flow_ctrl = 0x02;
constexpr std::uint8_t sio_set_baudrate = 0x03;
constexpr std::uint8_t sio_set_data = 0x04;
constexpr std::uint8_t sio_poll_modem_status = 0x05;
constexpr std::uint8_t sio_set_event_char = 0x06;
constexpr std::uint8_t sio_set_error_char = 0x07;
constexpr std::uint8_t sio_set_latency_timer = 0x09;
constexpr std::uint8_t sio_get_latency_timer = 0x0A;
constexpr std::uint8_t sio_set_bitmode = 0x0B;
constexpr std::uint8_t sio_read_pins = 0x0C;
constexpr std::uint16_t sio_reset_sio = 0;

// Every bulk IN packet starts with the modem and line status; these are the idle values.
const std::vector<std::uint8_t> idle_status = {0x01, 0x60};
constexpr std::uint8_t default_latency_ms = 16;

std::uint16_t le16(const std::uint8_t *bytes)
{
    return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

Outcome vendor_out(sensor_model::Chip &chip, std::uint8_t request, std::uint16_t value)
{
    Outcome outcome;
    switch (request) {
    case sio_reset:
        if (value == sio_reset_sio)
            chip.reset();
        break;
    case sio_set_bitmode:
        chip.set_bit_mode(static_cast<std::uint8_t>(value & 0xFF), static_cast<std::uint8_t>(value >> 8));
        break;
    case sio_set_modem_ctrl:
    case sio_set_flow_ctrl:
    case sio_set_baudrate:
    case sio_set_data:
    case sio_set_event_char:
    case sio_set_error_char:
    case sio_set_latency_timer:
        break;
    default:
        outcome.status = -EPIPE;
        break;
    }
    return outcome;
}

Outcome vendor_in(sensor_model::Chip &chip, std::uint8_t request)
{
    Outcome outcome;
    switch (request) {
    case sio_read_pins:
        outcome.in = {chip.read_pins()};
        break;
    case sio_get_latency_timer:
        outcome.in = {default_latency_ms};
        break;
    case sio_poll_modem_status:
        outcome.in = idle_status;
        break;
    default:
        outcome.status = -EPIPE;
        break;
    }
    return outcome;
}

}  // namespace

Outcome control_transfer(Device &device, const std::uint8_t *packet, std::size_t length)
{
    const std::uint8_t type = packet[0];
    const bool in = (type & direction_in) != 0;
    Request logged{in ? Transfer::control_in : Transfer::control_out, packet[1], le16(packet + 2), le16(packet + 4), {}};
    const std::size_t wanted = std::min<std::size_t>(le16(packet + 6), length - setup_size);

    Outcome outcome;
    if ((type & type_mask) != type_vendor) {
        outcome.status = -EPIPE;
    } else if (in) {
        outcome = vendor_in(device.chip, logged.request);
        if (outcome.in.size() > wanted)
            outcome.in.resize(wanted);
        outcome.actual_length = static_cast<int>(outcome.in.size());
        logged.data = outcome.in;
    } else {
        outcome = vendor_out(device.chip, logged.request, logged.value);
        logged.data.assign(packet + setup_size, packet + setup_size + wanted);
        outcome.actual_length = static_cast<int>(wanted);
    }
    if (outcome.status != 0)
        ++device.counters.stalled;
    device.log.push_back(std::move(logged));
    return outcome;
}

Outcome bulk_transfer(Device &device, std::uint8_t endpoint, const std::uint8_t *data, std::size_t length)
{
    Outcome outcome;
    if (endpoint == endpoint_out) {
        // In bit-bang mode every byte sent becomes the new output latch, in order.
        for (std::size_t i = 0; i < length; ++i)
            device.chip.write(data[i]);
        device.log.push_back(Request{Transfer::bulk_out, 0, 0, 0, std::vector<std::uint8_t>(data, data + length)});
        outcome.actual_length = static_cast<int>(length);
    } else {
        outcome.in.assign(idle_status.begin(),
                          idle_status.begin() + static_cast<std::ptrdiff_t>(std::min(length, idle_status.size())));
        outcome.actual_length = static_cast<int>(outcome.in.size());
        device.log.push_back(Request{Transfer::bulk_in, 0, 0, 0, outcome.in});
    }
    return outcome;
}

}  // namespace usbemu
