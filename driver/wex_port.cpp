#include <cstdio>

#include "wex.h"

int wex_set_clear_bit(wex *w, int set, int bit)
{
    if (w == nullptr || bit < 0 || bit > 7)
        return -1;
    const auto mask = static_cast<std::uint8_t>(1u << bit);
    w->port = set ? static_cast<std::uint8_t>(w->port | mask) : static_cast<std::uint8_t>(w->port & ~mask);
    std::uint32_t written = 0;
    const FT_STATUS status = wex_usb().write(w->handle, &w->port, 1, &written);
    if (status != FT_OK || written != 1) {
        std::printf(wex_messages::write_failed, static_cast<long>(status));
        return -1;
    }
    return 0;
}

int wex_set_data_direction(wex *w, int direction)
{
    if (w == nullptr || !w->open) {
        std::printf(wex_messages::direction_not_open);
        return -1;
    }
    if (direction == WEX_DATA_RELEASE)
        return wex_usb().set_bit_mode(w->handle, WEX_PINS_DATA_INPUT, WEX_BIT_BANG_MODE) == FT_OK ? 0 : -1;
    if (wex_usb().set_bit_mode(w->handle, WEX_PINS_ALL_OUTPUTS, WEX_BIT_BANG_MODE) != FT_OK)
        return -1;
    wex_set_clear_bit(w, 0, WEX_DATA_BIT);  // a failed write says so itself; the checksum catches its effect
    return 0;
}
