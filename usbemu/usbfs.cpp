// The usbfs ioctls of the device node: capabilities, the bound driver,
// claiming the interface, and one set of URBs per open.
#include "device.h"
#include "peer_process.h"

// <sys/ioctl.h> must come first, or the USBDEVFS_* numbers are no constant expressions.
#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <system_error>

namespace usbemu {

namespace {

constexpr unsigned usb_interface = 0;
constexpr std::uint32_t usbfs_capabilities =
    USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
constexpr const char *serial_driver_name = "ftdi_sio";
constexpr const char *usbfs_driver_name = "usbfs";

// A program that asks is alive, so once it is the only one not yet told apart, its socket is its own.
void identify(Device &device, UMockdevIoctlClient *client)
{
    Client &own = client_state(device, client);
    if (own.process != ambiguous_peer)
        return;
    const pid_t pid = take_new_peer(device.ioctl_socket);
    if (pid > 0)
        own.process = pid;
}

// 0 when an ioctl's argument names the module's one interface, else the errno usbfs gives.
int check_interface(UMockdevIoctlData *arg)
{
    const GObjectPtr<UMockdevIoctlData> number = resolve(arg, 0, sizeof(unsigned));
    if (!number)
        return EFAULT;
    unsigned value = 0;
    std::memcpy(&value, number->data, sizeof value);
    return value == usb_interface ? 0 : ENOENT;
}

int get_capabilities(UMockdevIoctlData *arg)
{
    const GObjectPtr<UMockdevIoctlData> caps = resolve(arg, 0, sizeof(std::uint32_t));
    if (!caps)
        return EFAULT;
    std::memcpy(caps->data, &usbfs_capabilities, sizeof usbfs_capabilities);
    return 0;
}

int get_driver(const Device &device, UMockdevIoctlData *arg)
{
    const GObjectPtr<UMockdevIoctlData> query = resolve(arg, 0, sizeof(usbdevfs_getdriver));
    if (!query)
        return EFAULT;
    const bool usbfs = device.config.claimed_elsewhere || device.holder != nullptr;
    const char *name = usbfs ? usbfs_driver_name : device.serial_bound ? serial_driver_name : nullptr;
    if (name == nullptr)
        return ENODATA;
    auto *getdriver = reinterpret_cast<usbdevfs_getdriver *>(query->data);
    std::strncpy(getdriver->driver, name, sizeof getdriver->driver - 1);
    return 0;
}

// Only unbinding the serial driver is known; usbfs itself is never unbound this way.
int driver_ioctl(Device &device, UMockdevIoctlData *arg)
{
    const GObjectPtr<UMockdevIoctlData> command = resolve(arg, 0, sizeof(usbdevfs_ioctl));
    if (!command)
        return EFAULT;
    const int code = reinterpret_cast<const usbdevfs_ioctl *>(command->data)->ioctl_code;
    if (code == static_cast<int>(USBDEVFS_DISCONNECT)) {
        if (!device.serial_bound || device.config.claimed_elsewhere || device.holder != nullptr)
            return ENODATA;
        device.serial_bound = false;
        return 0;
    }
    return code == static_cast<int>(USBDEVFS_CONNECT) ? 0 : ENOTTY;
}

int release_interface(Device &device, UMockdevIoctlClient *client, UMockdevIoctlData *arg)
{
    if (const int error = check_interface(arg))
        return error;
    if (device.holder != client)
        return EINVAL;
    device.holder = nullptr;
    ++device.counters.releases;
    return 0;
}

}  // namespace

// umockdev 0.17.16 never emits "client-vanished"; a client's "connected" turns
// false when the program closes the node, and its process ends when it is
// killed (an open not yet told from another's: once no living opener is left
// untold); looked at before every request and every new open, that drops a
// closed open's claim before anyone else can ask for it.
void forget_closed_clients(Device &device)
{
    std::optional<bool> ambiguous_gone;
    auto closed = [&device, &ambiguous_gone](const Client &c) {
        if (!umockdev_ioctl_client_get_connected(c.client.get()))
            return true;
        if (c.process != ambiguous_peer)
            return !peer_alive(c.process);
        if (!ambiguous_gone)
            ambiguous_gone = untaken_peers_gone(device.ioctl_socket);
        return *ambiguous_gone;
    };
    for (Client &c : device.clients) {
        if (!closed(c))
            continue;
        if (device.holder == c.client.get()) {
            device.holder = nullptr;
            ++device.counters.released_on_close;
        }
        let_go(std::move(c.client));
    }
    device.clients.erase(std::remove_if(device.clients.begin(), device.clients.end(),
                                        [](const Client &c) { return !c.client; }),
                         device.clients.end());
}

// One holder at a time, as the kernel grants it; the holder asking again is no new claim.
int claim_interface(Device &device, UMockdevIoctlClient *client)
{
    if (device.holder == client)
        return 0;
    if (device.config.claimed_elsewhere || device.serial_bound || device.holder != nullptr) {
        ++device.counters.busy;
        return EBUSY;
    }
    device.holder = client;
    ++device.counters.claims;
    return 0;
}

void unplug(Device &device)
{
    if (device.vanished)
        return;
    device.vanished = true;
    if (device.holder != nullptr) {
        device.holder = nullptr;
        ++device.counters.released_on_unplug;
    }
    // By hand: umockdev's own removal keeps the node and announces it through whichever testbed is current.
    for (const std::string &path : device.unplugged_paths) {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
}

Client &client_state(Device &device, UMockdevIoctlClient *client)
{
    for (Client &c : device.clients)
        if (c.client.get() == client)
            return c;
    Client added{add_ref(client), {}};
    added.process = take_new_peer(device.ioctl_socket);
    device.clients.push_back(std::move(added));
    return device.clients.back();
}

void client_connected(Device &device, UMockdevIoctlClient *client)
{
    const std::lock_guard<std::mutex> guard(device.lock);
    forget_closed_clients(device);
    client_state(device, client);
}

gboolean handle_ioctl(Device &device, UMockdevIoctlClient *client)
{
    const std::lock_guard<std::mutex> guard(device.lock);
    identify(device, client);
    forget_closed_clients(device);
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);

    if (device.vanished) {
        ++device.counters.refused;
        complete(client, ENODEV);
        return TRUE;
    }
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES:
        complete(client, get_capabilities(arg));
        break;
    case USBDEVFS_GETDRIVER:
        complete(client, get_driver(device, arg));
        break;
    case USBDEVFS_IOCTL:
        complete(client, driver_ioctl(device, arg));
        break;
    case USBDEVFS_CLAIMINTERFACE: {
        const int error = check_interface(arg);
        complete(client, error != 0 ? error : claim_interface(device, client));
        break;
    }
    case USBDEVFS_RELEASEINTERFACE:
        complete(client, release_interface(device, client, arg));
        break;
    case USBDEVFS_SUBMITURB:
        submit_urb(device, client, arg);
        break;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
        reap_urb(device, client, arg);
        break;
    case USBDEVFS_DISCARDURB:
        discard_urb(device, client, arg);
        break;
    default:
        complete(client, ENOTTY);
        break;
    }
    return TRUE;
}

}  // namespace usbemu
