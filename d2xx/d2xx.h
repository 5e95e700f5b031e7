// The C ABI of the seven D2XX functions the driver uses, as the vendor's
// shared library exports them on 64-bit Linux. Declared here so that nothing
// of the vendor's is needed to build; implemented by whatever libftd2xx.so
// the program loads at run time (the vendor's, or one of the project's own).
#ifndef D2XX_D2XX_H
#define D2XX_D2XX_H

#include <cstdint>

using FT_HANDLE = void *;
using FT_STATUS = std::uint32_t;

inline constexpr FT_STATUS FT_OK = 0;
inline constexpr FT_STATUS FT_INVALID_HANDLE = 1;
inline constexpr FT_STATUS FT_DEVICE_NOT_FOUND = 2;
inline constexpr FT_STATUS FT_DEVICE_NOT_OPENED = 3;
inline constexpr FT_STATUS FT_IO_ERROR = 4;
inline constexpr FT_STATUS FT_INSUFFICIENT_RESOURCES = 5;
inline constexpr FT_STATUS FT_INVALID_PARAMETER = 6;
inline constexpr FT_STATUS FT_OTHER_ERROR = 18;

extern "C" {
FT_STATUS FT_SetVIDPID(std::uint32_t vid, std::uint32_t pid);
FT_STATUS FT_Open(int index, FT_HANDLE *handle);
FT_STATUS FT_SetTimeouts(FT_HANDLE handle, std::uint32_t read_ms, std::uint32_t write_ms);
FT_STATUS FT_SetBitMode(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode);
FT_STATUS FT_GetBitMode(FT_HANDLE handle, std::uint8_t *pins);
FT_STATUS FT_Write(FT_HANDLE handle, void *buffer, std::uint32_t length, std::uint32_t *written);
FT_STATUS FT_Close(FT_HANDLE handle);
}

// The same seven functions as a table of entry points, filled from the library
// found at run time.
struct d2xx_api {
    decltype(&FT_SetVIDPID) set_vid_pid;
    decltype(&FT_Open) open;
    decltype(&FT_SetTimeouts) set_timeouts;
    decltype(&FT_SetBitMode) set_bit_mode;
    decltype(&FT_GetBitMode) get_bit_mode;
    decltype(&FT_Write) write;
    decltype(&FT_Close) close;
};

#endif
