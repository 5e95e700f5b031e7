#include "wex.h"

namespace {

// The line actions drop their results: what a failed pin change disturbs, the frame checksum catches.
void clock_high(wex *w)
{
    wex_set_clear_bit(w, 1, WEX_CLOCK_BIT);
}

void clock_low(wex *w)
{
    wex_set_clear_bit(w, 0, WEX_CLOCK_BIT);
}

void clock_pulse(wex *w)
{
    clock_high(w);
    clock_low(w);
}

void data_low(wex *w)
{
    wex_set_data_direction(w, WEX_DATA_DRIVE_LOW);
}

void data_release(wex *w)
{
    wex_set_data_direction(w, WEX_DATA_RELEASE);
}

}  // namespace

// The data line falls and rises while the clock is high, with one clock low in between.
int wex_reset_sensor(wex *w)
{
    if (!w->open)
        return -1;
    clock_high(w);
    data_low(w);
    clock_low(w);
    clock_high(w);
    data_release(w);
    clock_low(w);
    return 0;
}

// Eight bits, most significant first, then a ninth clock on which the sensor acknowledges.
int wex_write_byte(wex *w, std::uint8_t value)
{
    if (w == nullptr || !w->open)
        return -1;
    for (int bit = 7; bit >= 0; --bit) {
        if ((value >> bit) & 1)
            data_release(w);
        else
            data_low(w);
        clock_pulse(w);
    }
    // The acknowledge is not read: a mute sensor shows as a time-out, after the full wait.
    data_release(w);
    clock_pulse(w);
    return 0;
}

// The sensor's bit is valid while the clock is high; the driver acknowledges all but the last byte.
std::uint8_t wex_read_byte(wex *w, int last)
{
    if (!w->open)
        return 0xFF;
    std::uint8_t result = 0;
    std::uint8_t sample = 0;
    for (int i = 0; i < 8; ++i) {
        clock_high(w);
        // A failed sample gives a wrong bit at worst, which the frame checksum rejects.
        wex_usb().get_bit_mode(w->handle, &sample);
        result = static_cast<std::uint8_t>((result << 1) | ((sample & WEX_DATA_MASK) ? 1 : 0));
        clock_low(w);
    }
    if (!last)
        data_low(w);
    clock_pulse(w);
    data_release(w);
    return result;
}
