// What wex_q40_test prints, byte for byte, where more than one test expects it.
#ifndef WEX_TEST_PROGRAM_OUTPUT_H
#define WEX_TEST_PROGRAM_OUTPUT_H

#include <string>

namespace wex_test {

// The reading of the sensor model's default words, 7000 and 1500.
inline const std::string default_reading = "Temperature: 30.0C, 86.0F\nHumidity: 50.6%\nDewpoint: 18.6C, 65.5F\n";
inline const std::string not_opened = "wex_open: FT_Open failed to open WEX-Q40 device.\nwex_open failed!\n";
// The libftdi1 backend's line when another program holds the first emulated module.
inline const std::string first_module_claimed =
    "FT_Open: USB device /dev/bus/usb/001/002 is claimed by another program\n";
inline const std::string bad_temperature_checksum =
    "wex_read_temp: Bad CRC. Temp reading failed.\nwex_read_temp failed!\n";
inline const std::string humidity_failed = "wex_read_hum failed!\n";
inline const std::string sensor_timed_out = "wex_read_temp: Timed out waiting for the sensor.\nwex_read_temp failed!\n";

}  // namespace wex_test

#endif
