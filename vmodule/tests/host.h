// The driver's line actions, played on anything with the chip's three
// operations (the Chip itself, or the D2XX functions behind an adapter).
#ifndef VMODULE_TESTS_HOST_H
#define VMODULE_TESTS_HOST_H

#include <cstdint>
#include <vector>

template <typename Port>
struct Host {
    static constexpr std::uint8_t clock = 0x01;
    static constexpr std::uint8_t data = 0x02;
    static constexpr std::uint8_t all_outputs = 0xFF;
    static constexpr std::uint8_t data_input = 0xFD;
    static constexpr std::uint8_t bit_bang = 0xFF;

    Port &port;
    std::uint8_t image = 0;

    void set_pin(bool set, std::uint8_t mask)
    {
        image = static_cast<std::uint8_t>(set ? image | mask : image & ~mask);
        port.write(image);
    }
    void clock_high() { set_pin(true, clock); }
    void clock_low() { set_pin(false, clock); }
    void pulse() { clock_high(); clock_low(); }
    void data_low()
    {
        port.set_bit_mode(all_outputs, bit_bang);
        set_pin(false, data);
    }
    void data_release() { port.set_bit_mode(data_input, bit_bang); }
    bool sample() { return port.read_pins() & data; }

    void open()
    {
        port.set_bit_mode(all_outputs, bit_bang);
        data_release();
        clock_low();
    }
    void start()
    {
        clock_high();
        data_low();
        clock_low();
        clock_high();
        data_release();
        clock_low();
    }
    void write_bits(std::uint8_t value, int count = 8)
    {
        for (int bit = 7; bit > 7 - count; --bit) {
            if ((value >> bit) & 1)
                data_release();
            else
                data_low();
            pulse();
        }
    }
    void write_byte(std::uint8_t value)
    {
        write_bits(value);
        data_release();
        pulse();
    }
    std::uint8_t read_byte(bool last)
    {
        std::uint8_t value = 0;
        for (int i = 0; i < 8; ++i) {
            clock_high();
            value = static_cast<std::uint8_t>((value << 1) | (sample() ? 1 : 0));
            clock_low();
        }
        if (!last)
            data_low();
        pulse();
        data_release();
        return value;
    }
    // Samples taken until the data line read low, or -1 when it never did.
    int wait_ready(int limit = 100)
    {
        for (int n = 1; n <= limit; ++n)
            if (!sample())
                return n;
        return -1;
    }
    std::vector<std::uint8_t> measure(std::uint8_t command)
    {
        start();
        write_byte(command);
        if (wait_ready() < 0)
            return {};
        const std::uint8_t high = read_byte(false);
        const std::uint8_t low = read_byte(false);
        return {high, low, read_byte(true)};
    }
};

#endif
