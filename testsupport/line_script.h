// The sensor protocol's line actions, written out from the wire's side, played
// on a port: anything with set_bit_mode(mask, mode), write(pins) and
// read_pins(). Played on the chip model or the library functions it is the
// host the models are tested with; played on a Recorder it is the traffic
// the driver must cause, in the test's own notation.
#ifndef WEX_TEST_LINE_SCRIPT_H
#define WEX_TEST_LINE_SCRIPT_H

#include <cstdint>
#include <string>
#include <vector>

#include "module_facts.h"

namespace wex_test {

template <typename Port>
struct LineScript {
    Port &port;
    std::uint8_t image = 0;  // the pin levels last written, as the driver keeps them

    void set_pin(bool set, std::uint8_t mask)
    {
        image = static_cast<std::uint8_t>(set ? image | mask : image & ~mask);
        port.write(image);
    }
    void clock_high() { set_pin(true, wex_module::clock_pin); }
    void clock_low() { set_pin(false, wex_module::clock_pin); }
    void pulse()
    {
        clock_high();
        clock_low();
    }
    void data_low()
    {
        port.set_bit_mode(wex_module::all_outputs, wex_module::bit_bang_mode);
        set_pin(false, wex_module::data_pin);
    }
    void data_release() { port.set_bit_mode(wex_module::data_input, wex_module::bit_bang_mode); }
    bool sample() { return port.read_pins() & wex_module::data_pin; }

    void open()
    {
        port.set_bit_mode(wex_module::all_outputs, wex_module::bit_bang_mode);
        data_release();
        clock_low();
    }
    // The data line falls and rises while the clock is high, with one clock low in between.
    void start()
    {
        clock_high();
        data_low();
        clock_low();
        clock_high();
        data_release();
        clock_low();
    }
    // The first count bits of value, most significant first.
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
    // Eight bits, then the ninth clock on which the sensor acknowledges.
    void write_byte(std::uint8_t value)
    {
        write_bits(value);
        data_release();
        pulse();
    }
    // Eight bits sampled while the clock is high; all but the last byte acknowledged.
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
    // Samples taken until the data line read low, or -1 when it never did;
    // each sample becomes the image, as the driver keeps it.
    int wait_ready(unsigned limit = wex_module::wait_samples)
    {
        for (unsigned n = 1; n <= limit; ++n) {
            image = port.read_pins();
            if (!(image & wex_module::data_pin))
                return static_cast<int>(n);
        }
        return -1;
    }
    // One measurement: its three bytes, or none when the sensor never got ready.
    std::vector<std::uint8_t> measure(std::uint8_t command)
    {
        // A busy sample left in the image must never drive the data line high.
        image = static_cast<std::uint8_t>(image & ~wex_module::data_pin);
        start();
        write_byte(command);
        if (wait_ready() < 0)
            return {};
        const std::uint8_t high = read_byte(false);
        const std::uint8_t low = read_byte(false);
        return {high, low, read_byte(true)};
    }
};

// A port that writes the traffic down, an entry per request in the notation
// of Notation's static set_bit_mode(mask, mode), write(pins) and read_pins(),
// and answers as a sensor that reads busy for the first `busy` samples after
// each pin write and low otherwise.
template <typename Notation>
struct Recorder {
    unsigned busy = 0;
    std::vector<std::string> traffic;

    void set_bit_mode(std::uint8_t mask, std::uint8_t mode) { traffic.push_back(Notation::set_bit_mode(mask, mode)); }
    void write(std::uint8_t pins)
    {
        traffic.push_back(Notation::write(pins));
        samples_since_write_ = 0;
    }
    std::uint8_t read_pins()
    {
        traffic.push_back(Notation::read_pins());
        return samples_since_write_++ < busy ? wex_module::data_pin : 0x00;
    }

private:
    unsigned samples_since_write_ = 0;
};

}  // namespace wex_test

#endif
