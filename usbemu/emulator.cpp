#include "emulator.h"

// <sys/ioctl.h> must come first, or the USBDEVFS_* numbers are no constant expressions.
#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>

#include <umockdev.h>

namespace usbemu {

namespace {

constexpr std::uint8_t endpoint_in = 0x81;
constexpr std::uint8_t endpoint_out = 0x02;
constexpr std::size_t setup_size = 8;
constexpr std::uint8_t direction_in = 0x80;
constexpr std::uint8_t type_mask = 0x60;
constexpr std::uint8_t type_vendor = 0x40;

constexpr std::uint8_t sio_reset = 0x00;
constexpr std::uint8_t sio_set_modem_ctrl = 0x01;
constexpr std::uint8_t sio_set_flow_ctrl = 0x02;
constexpr std::uint8_t sio_set_baudrate = 0x03;
constexpr std::uint8_t sio_set_data = 0x04;
constexpr std::uint8_t sio_poll_modem_status = 0x05;
constexpr std::uint8_t sio_set_event_char = 0x06;
constexpr std::uint8_t sio_set_error_char = 0x07;
constexpr std::uint8_t sio_set_latency_timer = 0x09;
constexpr std::uint8_t sio_get_latency_timer = 0x0A;
constexpr std::uint8_t sio_set_bitmode = 0x0B;
constexpr std::uint8_t sio_read_pins = 0x0C;
constexpr std::uint16_t sio_reset_sio = 0;

// Every bulk IN packet starts with the modem and line status; these are the idle values.
const std::vector<std::uint8_t> idle_status = {0x01, 0x60};
constexpr std::uint8_t default_latency_ms = 16;
constexpr std::uint32_t usbfs_capabilities =
    USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
constexpr const char *serial_driver_name = "ftdi_sio";
constexpr const char *usbfs_driver_name = "usbfs";

// Device descriptor (bcdDevice 0x0600, so libftdi1 takes it for an FT232R), then one
// configuration with one vendor interface: bulk IN 0x81 and bulk OUT 0x02, 64-byte packets.
constexpr const char *device_record =
    "P: /devices/pci0000:00/0000:00:14.0/usb1/1-1\n"
    "N: bus/usb/001/002\n"
    "E: SUBSYSTEM=usb\n"
    "E: DEVTYPE=usb_device\n"
    "E: BUSNUM=001\n"
    "E: DEVNUM=002\n"
    "E: DEVNAME=/dev/bus/usb/001/002\n"
    "E: PRODUCT=403/fbf9/600\n"
    "A: idVendor=0403\n"
    "A: idProduct=fbf9\n"
    "A: bcdDevice=0600\n"
    "A: busnum=1\n"
    "A: devnum=2\n"
    "A: speed=12\n"
    "A: bConfigurationValue=1\n"
    "A: bNumConfigurations=1\n"
    "A: manufacturer=WEX\n"
    "A: product=WEX-Q40\n"
    "H: descriptors=12010002000000080304F9FB000601020301"
    "09022000010100802D"
    "0904000002FFFFFF02"
    "07058102400000"
    "07050202400000\n";

struct Outcome {
    int status = 0;  // the URB's completion status: 0, or -EPIPE for a stall
    std::vector<std::uint8_t> in;  // bytes the device answers on an IN transfer
    int actual_length = 0;
};

struct Pending {
    UMockdevIoctlData *urb;
    UMockdevIoctlData *buffer;  // null for a zero-length transfer
    std::size_t in_offset;
    Outcome outcome;
};

UMockdevIoctlData *resolve(UMockdevIoctlData *parent, std::size_t offset, std::size_t length)
{
    GError *error = nullptr;
    UMockdevIoctlData *data = umockdev_ioctl_data_resolve(parent, offset, length, &error);
    if (error != nullptr)
        g_error_free(error);
    return data;
}

std::uint16_t le16(const std::uint8_t *bytes)
{
    return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

}  // namespace

struct Emulator::Impl {
    explicit Impl(const Config &c) : config(c), sensor(c.sensor), chip(sensor, c.stuck), serial_bound(c.serial_driver) {}

    static gboolean on_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer self)
    {
        return static_cast<Impl *>(self)->handle(client);
    }

    gboolean handle(UMockdevIoctlClient *client);
    void submit(UMockdevIoctlClient *client, UMockdevIoctlData *arg);
    void reap(UMockdevIoctlClient *client, UMockdevIoctlData *arg);
    Outcome control(const std::uint8_t *packet, std::size_t length);
    Outcome vendor_out(std::uint8_t request, std::uint16_t value);
    Outcome vendor_in(std::uint8_t request);
    Outcome bulk(std::uint8_t endpoint, const std::uint8_t *data, std::size_t length);

    Config config;
    vmodule::Sensor sensor;
    vmodule::Chip chip;
    UMockdevTestbed *testbed = nullptr;
    UMockdevIoctlBase *handler = nullptr;

    mutable std::mutex lock;
    std::vector<Request> log;
    Counters counters;
    std::deque<Pending> completed;
    unsigned transfers = 0;
    bool vanished = false;
    bool serial_bound;
};

gboolean Emulator::Impl::handle(UMockdevIoctlClient *client)
{
    std::lock_guard<std::mutex> guard(lock);
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);

    if (vanished) {
        ++counters.refused;
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }

    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData *caps = resolve(arg, 0, sizeof(std::uint32_t));
        if (caps == nullptr) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            break;
        }
        std::memcpy(caps->data, &usbfs_capabilities, sizeof usbfs_capabilities);
        umockdev_ioctl_client_complete(client, 0, 0);
        g_object_unref(caps);
        break;
    }
    case USBDEVFS_GETDRIVER: {
        UMockdevIoctlData *query = resolve(arg, 0, sizeof(usbdevfs_getdriver));
        if (query == nullptr) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            break;
        }
        auto *getdriver = reinterpret_cast<usbdevfs_getdriver *>(query->data);
        const char *name = config.claimed_elsewhere ? usbfs_driver_name : serial_bound ? serial_driver_name : nullptr;
        if (name == nullptr) {
            umockdev_ioctl_client_complete(client, -1, ENODATA);
        } else {
            std::strncpy(getdriver->driver, name, sizeof getdriver->driver - 1);
            umockdev_ioctl_client_complete(client, 0, 0);
        }
        g_object_unref(query);
        break;
    }
    case USBDEVFS_IOCTL: {
        UMockdevIoctlData *command = resolve(arg, 0, sizeof(usbdevfs_ioctl));
        if (command == nullptr) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            break;
        }
        const int code = reinterpret_cast<usbdevfs_ioctl *>(command->data)->ioctl_code;
        if (code == static_cast<int>(USBDEVFS_DISCONNECT) && serial_bound && !config.claimed_elsewhere) {
            serial_bound = false;
            umockdev_ioctl_client_complete(client, 0, 0);
        } else if (code == static_cast<int>(USBDEVFS_DISCONNECT)) {
            umockdev_ioctl_client_complete(client, -1, ENODATA);
        } else if (code == static_cast<int>(USBDEVFS_CONNECT)) {
            umockdev_ioctl_client_complete(client, 0, 0);
        } else {
            umockdev_ioctl_client_complete(client, -1, ENOTTY);
        }
        g_object_unref(command);
        break;
    }
    case USBDEVFS_CLAIMINTERFACE:
        if (config.claimed_elsewhere || serial_bound) {
            umockdev_ioctl_client_complete(client, -1, EBUSY);
        } else {
            ++counters.claims;
            umockdev_ioctl_client_complete(client, 0, 0);
        }
        break;
    case USBDEVFS_RELEASEINTERFACE:
        ++counters.releases;
        umockdev_ioctl_client_complete(client, 0, 0);
        break;
    case USBDEVFS_SUBMITURB:
        submit(client, arg);
        break;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
        reap(client, arg);
        break;
    case USBDEVFS_DISCARDURB:
        // Every URB completes as it is submitted, so there is never one to discard.
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        break;
    default:
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        break;
    }
    return TRUE;
}

void Emulator::Impl::submit(UMockdevIoctlClient *client, UMockdevIoctlData *arg)
{
    if (config.vanish_after != 0 && transfers >= config.vanish_after) {
        vanished = true;
        ++counters.refused;
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return;
    }
    UMockdevIoctlData *urb_data = resolve(arg, 0, sizeof(usbdevfs_urb));
    if (urb_data == nullptr) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    const auto *urb = reinterpret_cast<const usbdevfs_urb *>(urb_data->data);
    const auto length = static_cast<std::size_t>(urb->buffer_length > 0 ? urb->buffer_length : 0);
    UMockdevIoctlData *buffer =
        length > 0 ? resolve(urb_data, offsetof(usbdevfs_urb, buffer), length) : nullptr;
    if (length > 0 && buffer == nullptr) {
        g_object_unref(urb_data);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    const std::uint8_t *bytes = buffer != nullptr ? buffer->data : nullptr;

    Outcome outcome;
    std::size_t in_offset = 0;
    if (urb->type == USBDEVFS_URB_TYPE_CONTROL && length >= setup_size) {
        outcome = control(bytes, length);
        in_offset = setup_size;
    } else if (urb->type == USBDEVFS_URB_TYPE_BULK &&
               (urb->endpoint == endpoint_in || urb->endpoint == endpoint_out)) {
        outcome = bulk(urb->endpoint, bytes, length);
    } else {
        if (buffer != nullptr)
            g_object_unref(buffer);
        g_object_unref(urb_data);
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    ++transfers;
    completed.push_back(Pending{urb_data, buffer, in_offset, outcome});
    umockdev_ioctl_client_complete(client, 0, 0);
}

void Emulator::Impl::reap(UMockdevIoctlClient *client, UMockdevIoctlData *arg)
{
    if (completed.empty()) {
        umockdev_ioctl_client_complete(client, -1, EAGAIN);
        return;
    }
    UMockdevIoctlData *slot = resolve(arg, 0, sizeof(void *));
    if (slot == nullptr) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    Pending done = completed.front();
    completed.pop_front();
    auto *urb = reinterpret_cast<usbdevfs_urb *>(done.urb->data);
    urb->status = done.outcome.status;
    urb->actual_length = done.outcome.actual_length;
    if (done.buffer != nullptr && !done.outcome.in.empty())
        std::memcpy(done.buffer->data + done.in_offset, done.outcome.in.data(), done.outcome.in.size());
    umockdev_ioctl_data_set_ptr(slot, 0, done.urb);
    umockdev_ioctl_client_complete(client, 0, 0);
    g_object_unref(slot);
    if (done.buffer != nullptr)
        g_object_unref(done.buffer);
    g_object_unref(done.urb);
}

Outcome Emulator::Impl::control(const std::uint8_t *packet, std::size_t length)
{
    const std::uint8_t type = packet[0];
    const bool in = (type & direction_in) != 0;
    Request logged{in ? Transfer::control_in : Transfer::control_out, packet[1], le16(packet + 2), le16(packet + 4), {}};
    const std::size_t wanted = std::min<std::size_t>(le16(packet + 6), length - setup_size);

    Outcome outcome;
    if ((type & type_mask) != type_vendor) {
        outcome.status = -EPIPE;
    } else if (in) {
        outcome = vendor_in(logged.request);
        if (outcome.in.size() > wanted)
            outcome.in.resize(wanted);
        outcome.actual_length = static_cast<int>(outcome.in.size());
        logged.data = outcome.in;
    } else {
        outcome = vendor_out(logged.request, logged.value);
        logged.data.assign(packet + setup_size, packet + setup_size + wanted);
        outcome.actual_length = static_cast<int>(wanted);
    }
    if (outcome.status != 0)
        ++counters.stalled;
    log.push_back(std::move(logged));
    return outcome;
}

Outcome Emulator::Impl::vendor_out(std::uint8_t request, std::uint16_t value)
{
    Outcome outcome;
    switch (request) {
    case sio_reset:
        if (value == sio_reset_sio)
            chip.reset();
        break;
    case sio_set_bitmode:
        chip.set_bit_mode(static_cast<std::uint8_t>(value & 0xFF), static_cast<std::uint8_t>(value >> 8));
        break;
    case sio_set_modem_ctrl:
    case sio_set_flow_ctrl:
    case sio_set_baudrate:
    case sio_set_data:
    case sio_set_event_char:
    case sio_set_error_char:
    case sio_set_latency_timer:
        break;
    default:
        outcome.status = -EPIPE;
        break;
    }
    return outcome;
}

Outcome Emulator::Impl::vendor_in(std::uint8_t request)
{
    Outcome outcome;
    switch (request) {
    case sio_read_pins:
        outcome.in = {chip.read_pins()};
        break;
    case sio_get_latency_timer:
        outcome.in = {default_latency_ms};
        break;
    case sio_poll_modem_status:
        outcome.in = idle_status;
        break;
    default:
        outcome.status = -EPIPE;
        break;
    }
    return outcome;
}

Outcome Emulator::Impl::bulk(std::uint8_t endpoint, const std::uint8_t *data, std::size_t length)
{
    Outcome outcome;
    if (endpoint == endpoint_out) {
        // In bit-bang mode every byte sent becomes the new output latch, in order.
        for (std::size_t i = 0; i < length; ++i)
            chip.write(data[i]);
        log.push_back(Request{Transfer::bulk_out, 0, 0, 0, std::vector<std::uint8_t>(data, data + length)});
        outcome.actual_length = static_cast<int>(length);
    } else {
        outcome.in.assign(idle_status.begin(), idle_status.begin() + static_cast<std::ptrdiff_t>(std::min(length, idle_status.size())));
        outcome.actual_length = static_cast<int>(outcome.in.size());
        log.push_back(Request{Transfer::bulk_in, 0, 0, 0, outcome.in});
    }
    return outcome;
}

Emulator::Emulator(const Config &config) : impl_(std::make_unique<Impl>(config))
{
    if (!preloaded())
        throw std::runtime_error("usbemu: not running under umockdev's preload (start it with umockdev-wrapper)");
    impl_->testbed = umockdev_testbed_new();
    impl_->handler = umockdev_ioctl_base_new();
    g_signal_connect(impl_->handler, "handle-ioctl", G_CALLBACK(Impl::on_ioctl), impl_.get());

    GError *error = nullptr;
    std::string why;
    if (config.present && (!umockdev_testbed_attach_ioctl(impl_->testbed, node, impl_->handler, &error) ||
                           !umockdev_testbed_add_from_string(impl_->testbed, device_record, &error))) {
        why = "cannot build the testbed: " + std::string(error != nullptr ? error->message : "unknown error");
        if (error != nullptr)
            g_error_free(error);
    } else if (config.present && config.node_closed && chmod((root_dir() + node).c_str(), 0) != 0) {
        why = "cannot close the device node: " + std::string(std::strerror(errno));
    }
    if (!why.empty()) {
        g_object_unref(impl_->testbed);
        g_object_unref(impl_->handler);
        throw std::runtime_error("usbemu: " + why);
    }
}

Emulator::~Emulator()
{
    if (impl_->config.present)
        umockdev_testbed_detach_ioctl(impl_->testbed, node, nullptr);
    g_object_unref(impl_->testbed);
    g_object_unref(impl_->handler);
    for (Pending &p : impl_->completed) {
        if (p.buffer != nullptr)
            g_object_unref(p.buffer);
        g_object_unref(p.urb);
    }
}

std::vector<Request> Emulator::log() const
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    return impl_->log;
}

Counters Emulator::counters() const
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    Counters c = impl_->counters;
    c.sensor = impl_->sensor.counters();
    c.chip = impl_->chip.counters();
    return c;
}

std::string Emulator::root_dir() const
{
    gchar *root = umockdev_testbed_get_root_dir(impl_->testbed);
    std::string dir = root;
    g_free(root);
    return dir;
}

bool preloaded()
{
    const char *preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr;
}

void run_under_preload(char **argv)
{
    constexpr const char *again = "USBEMU_UNDER_WRAPPER";
    if (preloaded()) {
        unsetenv(again);
        return;
    }
    if (std::getenv(again) != nullptr)
        throw std::runtime_error(std::string("usbemu: ") + USBEMU_WRAPPER + " did not preload libumockdev-preload");
    setenv(again, "1", 1);
    // The sanitizers' runtime would otherwise insist on coming first among the preloaded libraries.
    const char *asan = std::getenv("ASAN_OPTIONS");
    setenv("ASAN_OPTIONS", (std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0").c_str(), 1);

    std::vector<char *> args;
    std::string wrapper = USBEMU_WRAPPER;
    char self_path[4096];
    const ssize_t length = readlink("/proc/self/exe", self_path, sizeof self_path - 1);
    if (length <= 0)
        throw std::runtime_error("usbemu: cannot find the running program");
    std::string self(self_path, static_cast<std::size_t>(length));
    args.push_back(wrapper.data());
    args.push_back(self.data());
    for (char **arg = argv + 1; *arg != nullptr; ++arg)
        args.push_back(*arg);
    args.push_back(nullptr);
    execv(wrapper.c_str(), args.data());
    throw std::runtime_error("usbemu: cannot run " + wrapper + ": " + std::strerror(errno));
}

}  // namespace usbemu
