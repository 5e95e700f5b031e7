#include "ftdi_backend.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include <ftdi.h>
#include <libusb.h>

#include "wex_messages.h"

namespace {

constexpr int usb_interface = 0;
constexpr std::uint32_t max_usb_id = 0xFFFF;
constexpr std::uint16_t default_vid = 0x0403;
constexpr std::uint16_t default_pid = 0x6001;
constexpr int max_port_depth = 7;
constexpr int pin_read_attempts = 2;

// The results of ftdi_usb_open_dev that tell why an open was refused.
namespace open_error {
constexpr int usb_open_failed = -4;  // libusb_open failed for a reason other than permission
constexpr int claim_failed = -5;     // the interface could not be claimed
constexpr int no_permission = -8;    // libusb_open was denied access to the device node
}  // namespace open_error

struct FtdiFree {
    void operator()(ftdi_context *ftdi) const { ftdi_free(ftdi); }
};
// Freeing a context also closes the USB device it has open.
using Ftdi = std::unique_ptr<ftdi_context, FtdiFree>;

struct DeviceListFree {
    void operator()(ftdi_device_list *list) const { ftdi_list_free(&list); }
};
// The list holds a reference on each device found, dropped when it is freed.
using DeviceList = std::unique_ptr<ftdi_device_list, DeviceListFree>;

struct Registry {
    std::mutex lock;
    std::uint16_t vid = default_vid;
    std::uint16_t pid = default_pid;
    std::unordered_map<FT_HANDLE, Ftdi> live;  // each open device, its handle the address of its context
};

Registry &registry()
{
    static Registry r;
    return r;
}

ftdi_context *lookup(FT_HANDLE handle)
{
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    auto it = r.live.find(handle);
    return it == r.live.end() ? nullptr : it->second.get();
}

// libftdi1 reports every refused open as a bare "usb_open() failed" or "unable
// to claim", so the cause is asked of libusb again with the same device.
int probe_open(libusb_device *dev)
{
    libusb_device_handle *probe = nullptr;
    int r = libusb_open(dev, &probe);
    if (r != LIBUSB_SUCCESS)
        return r;
    r = libusb_claim_interface(probe, usb_interface);
    if (r == LIBUSB_SUCCESS)
        libusb_release_interface(probe, usb_interface);
    libusb_close(probe);
    return r;
}

void report_open_failure(ftdi_context *ftdi, int ftdi_result, libusb_device *dev)
{
    char node[40];
    std::snprintf(node, sizeof node, wex_messages::device_node_format,
                  static_cast<unsigned>(libusb_get_bus_number(dev)),
                  static_cast<unsigned>(libusb_get_device_address(dev)));
    int cause = ftdi_result == open_error::no_permission ? LIBUSB_ERROR_ACCESS : probe_open(dev);
    // The other program may have let go between libftdi1's claim and ours.
    if (ftdi_result == open_error::claim_failed && cause == LIBUSB_SUCCESS)
        cause = LIBUSB_ERROR_BUSY;
    if (cause == LIBUSB_ERROR_ACCESS)
        std::printf(wex_messages::permission_denied, node);
    else if (cause == LIBUSB_ERROR_BUSY)
        std::printf(wex_messages::claimed, node);
    else if (cause != LIBUSB_SUCCESS && ftdi_result == open_error::usb_open_failed)
        std::printf(wex_messages::open_refused, node, libusb_strerror(cause));
    else
        std::printf(wex_messages::open_refused, node, ftdi_get_error_string(ftdi));
}

// Where a device sits: bus number, then the hub ports from the root down.
std::vector<int> bus_place(libusb_device *dev)
{
    std::uint8_t ports[max_port_depth];
    const int depth = libusb_get_port_numbers(dev, ports, max_port_depth);
    std::vector<int> place{libusb_get_bus_number(dev)};
    place.insert(place.end(), ports, ports + std::max(depth, 0));
    return place;
}

// Index N is the Nth module by its place on the bus, not by the USB library's
// listing order, so that the same module is read after a replug or a reboot.
std::vector<libusb_device *> by_bus_place(ftdi_device_list *list)
{
    std::vector<std::pair<std::vector<int>, libusb_device *>> found;
    for (ftdi_device_list *entry = list; entry != nullptr; entry = entry->next)
        found.emplace_back(bus_place(entry->dev), entry->dev);
    std::stable_sort(found.begin(), found.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    std::vector<libusb_device *> devices;
    devices.reserve(found.size());
    for (const auto &f : found)
        devices.push_back(f.second);
    return devices;
}

// Opens the index-th module by bus place; the list of those found is freed on return.
FT_STATUS open_by_bus_place(ftdi_context *ftdi, std::size_t index, std::uint16_t vid, std::uint16_t pid)
{
    ftdi_device_list *found = nullptr;
    const int count = ftdi_usb_find_all(ftdi, &found, vid, pid);
    const DeviceList list(found);
    const std::vector<libusb_device *> devices = by_bus_place(count > 0 ? list.get() : nullptr);
    if (index >= devices.size())
        return FT_DEVICE_NOT_FOUND;

    libusb_device *dev = devices[index];
    const int opened = ftdi_usb_open_dev(ftdi, dev);
    if (opened < 0) {
        report_open_failure(ftdi, opened, dev);
        return FT_DEVICE_NOT_OPENED;
    }
    return FT_OK;
}

FT_STATUS set_vid_pid(std::uint32_t vid, std::uint32_t pid)
{
    if (vid > max_usb_id || pid > max_usb_id)
        return FT_INVALID_PARAMETER;
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    r.vid = static_cast<std::uint16_t>(vid);
    r.pid = static_cast<std::uint16_t>(pid);
    return FT_OK;
}

FT_STATUS open_device(int index, FT_HANDLE *handle)
{
    if (handle == nullptr)
        return FT_INVALID_PARAMETER;
    *handle = nullptr;
    if (index < 0)
        return FT_DEVICE_NOT_FOUND;

    std::uint16_t vid, pid;
    {
        Registry &r = registry();
        std::lock_guard<std::mutex> guard(r.lock);
        vid = r.vid;
        pid = r.pid;
    }

    // ftdi_new fails when libusb finds no USB subsystem at all: no device then.
    Ftdi ftdi(ftdi_new());
    if (!ftdi)
        return FT_DEVICE_NOT_FOUND;
    const FT_STATUS status = open_by_bus_place(ftdi.get(), static_cast<std::size_t>(index), vid, pid);
    if (status != FT_OK)
        return status;

    FT_HANDLE opened = ftdi.get();
    {
        Registry &r = registry();
        std::lock_guard<std::mutex> guard(r.lock);
        r.live.emplace(opened, std::move(ftdi));
    }
    *handle = opened;
    return FT_OK;
}

FT_STATUS set_timeouts(FT_HANDLE handle, std::uint32_t read_ms, std::uint32_t write_ms)
{
    ftdi_context *ftdi = lookup(handle);
    if (ftdi == nullptr)
        return FT_INVALID_HANDLE;
    if (read_ms > INT_MAX || write_ms > INT_MAX)
        return FT_INVALID_PARAMETER;
    ftdi->usb_read_timeout = static_cast<int>(read_ms);
    ftdi->usb_write_timeout = static_cast<int>(write_ms);
    return FT_OK;
}

FT_STATUS set_bit_mode(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode)
{
    ftdi_context *ftdi = lookup(handle);
    if (ftdi == nullptr)
        return FT_INVALID_HANDLE;
    return ftdi_set_bitmode(ftdi, mask, mode) < 0 ? FT_IO_ERROR : FT_OK;
}

FT_STATUS get_bit_mode(FT_HANDLE handle, std::uint8_t *pins)
{
    ftdi_context *ftdi = lookup(handle);
    if (ftdi == nullptr)
        return FT_INVALID_HANDLE;
    if (pins == nullptr)
        return FT_INVALID_PARAMETER;
    unsigned char levels = 0;
    // Reading the pins changes nothing on the chip, so a failed read is tried
    // once more: given up, it would end a measurement the sensor then holds.
    int result = -1;
    for (int attempt = 0; attempt < pin_read_attempts && result < 0; ++attempt)
        result = ftdi_read_pins(ftdi, &levels);
    if (result < 0)
        return FT_IO_ERROR;
    *pins = levels;
    return FT_OK;
}

FT_STATUS write_bytes(FT_HANDLE handle, void *buffer, std::uint32_t length, std::uint32_t *written)
{
    ftdi_context *ftdi = lookup(handle);
    if (ftdi == nullptr)
        return FT_INVALID_HANDLE;
    if (written == nullptr)
        return FT_INVALID_PARAMETER;
    *written = 0;
    if ((buffer == nullptr && length > 0) || length > INT_MAX)
        return FT_INVALID_PARAMETER;
    if (length == 0)
        return FT_OK;
    const int sent = ftdi_write_data(ftdi, static_cast<const unsigned char *>(buffer),
                                     static_cast<int>(length));
    if (sent < 0)
        return FT_IO_ERROR;
    *written = static_cast<std::uint32_t>(sent);
    return FT_OK;
}

FT_STATUS close_device(FT_HANDLE handle)
{
    Ftdi ftdi;
    {
        Registry &r = registry();
        std::lock_guard<std::mutex> guard(r.lock);
        auto node = r.live.extract(handle);
        if (node.empty())
            return FT_INVALID_HANDLE;
        ftdi = std::move(node.mapped());
    }
    // The handle is gone either way: libftdi1 closes the device even when the release fails.
    return ftdi_usb_close(ftdi.get()) < 0 ? FT_IO_ERROR : FT_OK;
}

const d2xx_api table = {
    set_vid_pid, open_device, set_timeouts, set_bit_mode, get_bit_mode, write_bytes, close_device,
};

}  // namespace

const d2xx_api *wex_ftdi_backend()
{
    return &table;
}
