// The library traffic that the sensor protocol's line actions amount to,
// written out from the wire's side, for tests to compare against what the
// driver really sent. The sink turns each step into the test's own notation:
// sink.set_bit_mode(mask), sink.write(pin image), sink.sample().
#ifndef TESTS_LINE_ACTIONS_H
#define TESTS_LINE_ACTIONS_H

#include <cstdint>

template <typename Sink>
class LineActions {
public:
    static constexpr std::uint8_t clock_bit = 0x01;
    static constexpr std::uint8_t data_bit = 0x02;
    static constexpr std::uint8_t all_outputs = 0xFF;
    static constexpr std::uint8_t data_input = 0xFD;

    Sink sink;

    void open()
    {
        sink.set_bit_mode(all_outputs);
        data_release();
        clock(false);
    }
    void clock(bool high)
    {
        port_ = static_cast<std::uint8_t>(high ? port_ | clock_bit : port_ & ~clock_bit);
        sink.write(port_);
    }
    void pulse()
    {
        clock(true);
        clock(false);
    }
    void data_low()
    {
        sink.set_bit_mode(all_outputs);
        port_ = static_cast<std::uint8_t>(port_ & ~data_bit);
        sink.write(port_);
    }
    void data_release() { sink.set_bit_mode(data_input); }
    void start()
    {
        clock(true);
        data_low();
        clock(false);
        clock(true);
        data_release();
        clock(false);
    }
    void command(std::uint8_t value)
    {
        for (int bit = 7; bit >= 0; --bit) {
            if ((value >> bit) & 1)
                data_release();
            else
                data_low();
            pulse();
        }
        data_release();
        pulse();
    }
    void read(bool last)
    {
        for (int i = 0; i < 8; ++i) {
            clock(true);
            sink.sample();
            clock(false);
        }
        if (!last)
            data_low();
        pulse();
        data_release();
    }
    // A measurement whose sensor reads busy for `busy` samples; the ready
    // sample (every output low, the data line pulled low) becomes the pin image.
    void cycle(std::uint8_t command_byte, unsigned busy)
    {
        start();
        command(command_byte);
        for (unsigned i = 0; i <= busy; ++i)
            sink.sample();
        port_ = 0x00;
        read(false);
        read(false);
        read(true);
    }

private:
    std::uint8_t port_ = 0;
};

#endif
