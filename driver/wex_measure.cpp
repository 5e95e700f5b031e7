#include <cstdio>

#include "wex.h"

namespace {

constexpr std::uint8_t measure_temperature = 0x03;
constexpr std::uint8_t measure_humidity = 0x05;
// About 2 s of polling, six times the sensor's longest measurement.
constexpr int max_busy_samples = 20;

enum class outcome { ready, poll_failed, timed_out, bad_crc };

// The sensor keeps the data line released while it measures and pulls it low when done.
outcome wait_until_ready(wex *w)
{
    for (int i = 0; i < max_busy_samples; ++i) {
        if (wex_usb().get_bit_mode(w->handle, &w->port) != FT_OK)
            return outcome::poll_failed;
        const bool busy = (w->port & WEX_DATA_MASK) != 0;
        wex_poll_sleep();
        if (!busy)
            return outcome::ready;
    }
    return outcome::timed_out;
}

outcome measure(wex *w, std::uint8_t command, std::uint16_t *raw)
{
    // A busy sample left in the image by a failed wait must never drive the data line high.
    w->port = static_cast<std::uint8_t>(w->port & ~WEX_DATA_MASK);
    // Both fail only on a record that is not open, which the callers have checked.
    wex_reset_sensor(w);
    wex_write_byte(w, command);
    const outcome waited = wait_until_ready(w);
    if (waited != outcome::ready)
        return waited;
    const std::uint8_t high = wex_read_byte(w, 0);
    const std::uint8_t low = wex_read_byte(w, 0);
    const std::uint8_t checksum = wex_read_byte(w, 1);
    w->crc = 0;
    // wex_calcrc cannot fail.
    wex_calcrc(w, command);
    wex_calcrc(w, high);
    wex_calcrc(w, low);
    if (w->crc != wex_reverse_bits(checksum))
        return outcome::bad_crc;
    *raw = static_cast<std::uint16_t>(high << 8 | low);
    return outcome::ready;
}

}  // namespace

int wex_read_temp(wex *w)
{
    if (!w->open)
        return -1;
    std::uint16_t raw = 0;
    switch (measure(w, measure_temperature, &raw)) {
    case outcome::ready:
        w->temperature = wex_celsius_from_raw(raw);
        return 0;
    case outcome::poll_failed:
        std::printf(wex_messages::pins_read_failed);
        return -1;
    case outcome::timed_out:
        std::printf(wex_messages::sensor_timed_out);
        return -1;
    case outcome::bad_crc:
        std::printf(wex_messages::bad_crc);
        w->temperature = WEX_FAILED_READING;
        return -1;
    }
    return -1;
}

// Needs the temperature of an earlier successful wex_read_temp on the same record.
int wex_read_hum(wex *w)
{
    if (!w->open)
        return -1;
    std::uint16_t raw = 0;
    switch (measure(w, measure_humidity, &raw)) {
    case outcome::ready:
        w->humidity = wex_humidity_from_raw(raw, w->temperature);
        w->dewpoint = wex_dewpoint(w->temperature, w->humidity);
        return 0;
    case outcome::bad_crc:
        w->humidity = WEX_FAILED_READING;
        return -1;
    case outcome::poll_failed:
    case outcome::timed_out:
        return -1;
    }
    return -1;
}
