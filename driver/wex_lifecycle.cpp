#include <cstdio>

#include "wex.h"

namespace {

constexpr int device_index = 0;
constexpr std::uint32_t read_timeout_ms = 25;
constexpr std::uint32_t write_timeout_ms = 25;

}  // namespace

int wex_init(wex *w)
{
    w->vid = WEX_VID;
    w->pid = WEX_PID;
    w->model = "WEX-Q40";
    w->port = 0;
    w->initialized = 0;
    w->open = 0;
    if (wex_usb_load(wex_messages::init_caller) != 0)
        return -1;
    if (wex_usb().set_vid_pid(w->vid, w->pid) != FT_OK)
        return -1;
    w->initialized = 1;
    return 0;
}

int wex_open(wex *w)
{
    if (w->open)
        return 0;
    if (!w->initialized) {
        std::printf(wex_messages::not_initialized);
        return -1;
    }
    const d2xx_api &usb = wex_usb();
    if (usb.open(device_index, &w->handle) != FT_OK) {
        std::printf(wex_messages::open_failed);
        return -1;
    }
    if (usb.set_timeouts(w->handle, read_timeout_ms, write_timeout_ms) != FT_OK) {
        usb.close(w->handle);  // the open has failed already; a failed close adds nothing
        return -1;
    }
    if (usb.set_bit_mode(w->handle, WEX_PINS_ALL_OUTPUTS, WEX_BIT_BANG_MODE) != FT_OK) {
        usb.close(w->handle);  // the open has failed already; a failed close adds nothing
        std::printf(wex_messages::bit_bang_failed);
        return -1;
    }
    w->open = 1;
    // The interface rests with the data line released and the clock low.
    // Their results are dropped: each measurement sets both lines again.
    wex_set_data_direction(w, WEX_DATA_RELEASE);
    wex_set_clear_bit(w, 0, WEX_CLOCK_BIT);
    return 0;
}

int wex_close(wex *w)
{
    if (!w->open)
        return 0;
    if (wex_usb().close(w->handle) != FT_OK)
        return -1;
    w->open = 0;
    return 0;
}
