// Driver for the WEX-Q40 temperature-and-humidity module: a bit-bang USB chip
// whose pin 0 clocks and pin 1 carries the data of a two-wire digital sensor.
// Every operation takes the caller's record first and returns 0 or -1.
#ifndef DRIVER_WEX_H
#define DRIVER_WEX_H

#include <cstdint>

#include "d2xx.h"
#include "wex_messages.h"

struct wex {
    std::uint32_t vid;
    std::uint32_t pid;
    const char *model;
    FT_HANDLE handle;
    std::uint8_t port;  // levels last written to the eight pins, bit n = pin n
    std::uint8_t crc;   // running checksum of the frame being verified
    double temperature;
    double humidity;
    double dewpoint;
    std::uint8_t initialized;
    std::uint8_t open;
};

inline constexpr std::uint16_t WEX_VID = wex_messages::vendor_id;
inline constexpr std::uint16_t WEX_PID = wex_messages::product_id;
inline constexpr int WEX_CLOCK_BIT = 0;
inline constexpr int WEX_DATA_BIT = 1;
inline constexpr std::uint8_t WEX_DATA_MASK = 1u << WEX_DATA_BIT;
inline constexpr std::uint8_t WEX_PINS_ALL_OUTPUTS = 0xFF;
inline constexpr std::uint8_t WEX_PINS_DATA_INPUT = 0xFD;  // pin 1 an input, the rest outputs
inline constexpr std::uint8_t WEX_BIT_BANG_MODE = 0xFF;
inline constexpr int WEX_DATA_DRIVE_LOW = 0;  // directions of wex_set_data_direction
inline constexpr int WEX_DATA_RELEASE = 1;
inline constexpr double WEX_FAILED_READING = 999.0;

// USB library, loaded on first use.
// Loads libftd2xx.so; on failure prints why, prefixed by the caller's name.
int wex_usb_load(const char *caller);
// The library's entry points; before a successful load every call fails.
const d2xx_api &wex_usb();
// The open backend's entry points, tried when no library loads; null in a build without it.
const d2xx_api *wex_ftdi_backend();

// Frame checksum.
int wex_calcrc(wex *w, std::uint8_t byte);
std::uint8_t wex_reverse_bits(std::uint8_t byte);

// Conversions of raw sensor words.
double wex_celsius_from_raw(std::uint16_t raw);
double wex_humidity_from_raw(std::uint16_t raw, double celsius);
double wex_dewpoint(double celsius, double humidity);

// Port lines.
int wex_set_clear_bit(wex *w, int set, int bit);
int wex_set_data_direction(wex *w, int direction);

// Lifecycle.
int wex_init(wex *w);
int wex_open(wex *w);
int wex_close(wex *w);

// Sensor serial protocol.
int wex_reset_sensor(wex *w);
int wex_write_byte(wex *w, std::uint8_t value);
std::uint8_t wex_read_byte(wex *w, int last);

// Measurement cycle.
int wex_read_temp(wex *w);
int wex_read_hum(wex *w);
void wex_poll_sleep();  // the 100 ms between samples of a measurement in progress

#endif
