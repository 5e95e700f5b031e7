// What wex_q40_test prints and the module's facts that wex-q40 recognises it
// by, written once: the program prints from here and the companion matches
// from here, so a change of wording cannot leave the companion behind.
// Formats are constexpr arrays, which the compiler checks each printf's arguments against.
#ifndef DRIVER_MESSAGES_WEX_MESSAGES_H
#define DRIVER_MESSAGES_WEX_MESSAGES_H

#include <cstdint>
#include <string_view>

namespace wex_messages {

inline constexpr std::uint16_t vendor_id = 0x0403;
inline constexpr std::uint16_t product_id = 0xFBF9;

// The IDs as lsusb writes them, "vvvv:pppp" in lower-case hexadecimal; each half is how sysfs writes one.
struct UsbIdText {
    char text[10];
    constexpr std::string_view vendor() const { return {text, 4}; }
    constexpr std::string_view product() const { return {text + 5, 4}; }
};

constexpr UsbIdText usb_id_text(std::uint16_t vendor, std::uint16_t product)
{
    constexpr char digits[] = "0123456789abcdef";
    UsbIdText id{};
    for (int i = 0; i < 4; ++i) {
        const int shift = 12 - 4 * i;
        id.text[i] = digits[(vendor >> shift) & 0xF];
        id.text[5 + i] = digits[(product >> shift) & 0xF];
    }
    id.text[4] = ':';
    return id;
}

inline constexpr UsbIdText usb_id = usb_id_text(vendor_id, product_id);

// The USB library the driver loads, in the order it tries them, and the functions it needs of it.
inline constexpr char library_name[] = "libftd2xx.so";
inline constexpr char library_fallback[] = "/usr/local/lib/libftd2xx.so";
inline constexpr char set_vid_pid_function[] = "FT_SetVIDPID";
inline constexpr char open_function[] = "FT_Open";
inline constexpr char set_timeouts_function[] = "FT_SetTimeouts";
inline constexpr char set_bit_mode_function[] = "FT_SetBitMode";
inline constexpr char get_bit_mode_function[] = "FT_GetBitMode";
inline constexpr char write_function[] = "FT_Write";
inline constexpr char close_function[] = "FT_Close";
inline constexpr const char *library_functions[] = {set_vid_pid_function, open_function, set_timeouts_function,
                                                    set_bit_mode_function, get_bit_mode_function, write_function,
                                                    close_function};

// A module's device node from its bus number and device address.
inline constexpr char device_node_format[] = "/dev/bus/usb/%03u/%03u";

// The driver's lines.
inline constexpr char init_caller[] = "wex_init";
inline constexpr char load_failed[] = "%s: cannot load %s: %s\n";  // the caller, library_name, why
inline constexpr char not_initialized[] = "wex_open: wex structure not initialized, cannot open.\n";
inline constexpr char open_failed[] = "wex_open: FT_Open failed to open WEX-Q40 device.\n";
inline constexpr char bit_bang_failed[] = "Could not enable bit-bang mode.\n";
inline constexpr char write_failed[] = "wex_set_clear_bit: Write to wex-q40 failed (%ld)\n";
inline constexpr char direction_not_open[] = "wex_set_data_direction: cannot set direction, device is not open\n";
inline constexpr char pins_read_failed[] = "wex_read_temp: FT_GetBitMode failed.\n";
inline constexpr char sensor_timed_out[] = "wex_read_temp: Timed out waiting for the sensor.\n";
inline constexpr char bad_crc[] = "wex_read_temp: Bad CRC. Temp reading failed.\n";

// The open backend's lines, printed before the driver's when an attached module cannot be opened.
inline constexpr char permission_denied[] = "FT_Open: permission denied on USB device %s\n";
inline constexpr char claimed[] = "FT_Open: USB device %s is claimed by another program\n";
inline constexpr char open_refused[] = "FT_Open: cannot open USB device %s: %s\n";

// The program's lines.
inline constexpr char init_failed[] = "wex_init failed!\n";
inline constexpr char open_step_failed[] = "wex_open failed!\n";
inline constexpr char read_temp_failed[] = "wex_read_temp failed!\n";
inline constexpr char read_hum_failed[] = "wex_read_hum failed!\n";
inline constexpr char close_failed[] = "wex_close failed!\n";
inline constexpr char output_failed[] = "wex_q40_test: cannot write to standard output: %s\n";

// The report: the temperature and the dew point in Celsius, then Fahrenheit.
inline constexpr char temperature_report[] = "Temperature: %.1fC, %.1fF\n";
inline constexpr char humidity_report[] = "Humidity: %.1f%%\n";
inline constexpr char dewpoint_report[] = "Dewpoint: %.1fC, %.1fF\n";

// A format's text before its first conversion.
// A loop of its own: GCC's sanitizers make string_view::find no constant expression.
constexpr std::string_view fixed_start(std::string_view format)
{
    std::size_t end = 0;
    while (end < format.size() && format[end] != '%')
        ++end;
    return format.substr(0, end);
}

inline constexpr std::string_view temperature_label = fixed_start(temperature_report);
inline constexpr std::string_view humidity_label = fixed_start(humidity_report);
inline constexpr std::string_view dewpoint_label = fixed_start(dewpoint_report);

}  // namespace wex_messages

#endif
