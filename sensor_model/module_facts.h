#ifndef SENSOR_MODEL_MODULE_FACTS_H
#define SENSOR_MODEL_MODULE_FACTS_H

#include <cstdint>

// What the test side (virtual module, USB emulator, fuzzing, tests) knows of
// the module, written once. The driver keeps its own copy: these are the
// facts it is checked against, not the ones it uses.
namespace wex_module {

constexpr std::uint16_t vendor_id = 0x0403;
constexpr std::uint16_t product_id = 0xFBF9;

constexpr std::uint8_t clock_pin = 0x01;
constexpr std::uint8_t data_pin = 0x02;
constexpr std::uint8_t all_outputs = 0xFF;
constexpr std::uint8_t data_input = 0xFD;
constexpr std::uint8_t bit_bang_mode = 0xFF;  // the mode byte the driver passes to set bit-bang mode

constexpr std::uint8_t command_temperature = 0x03;
constexpr std::uint8_t command_humidity = 0x05;

// Samples of the data line the driver waits for a measurement before giving up.
constexpr unsigned wait_samples = 20;

// Library calls of a clean reading from a sensor that is ready at the first sample.
constexpr unsigned clean_reading_calls = 259;

}  // namespace wex_module

#endif
