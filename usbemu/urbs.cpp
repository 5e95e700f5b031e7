// URBs: each completes as it is submitted and waits for its own client to reap it.
#include "device.h"

// <sys/ioctl.h> must come first, or the USBDEVFS_* numbers are no constant expressions.
#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace usbemu {

GObjectPtr<UMockdevIoctlData> resolve(UMockdevIoctlData *parent, std::size_t offset, std::size_t length)
{
    g_autoptr(GError) error = nullptr;
    return GObjectPtr<UMockdevIoctlData>(umockdev_ioctl_data_resolve(parent, offset, length, &error));
}

namespace {

// The transfer through the chip; false when usbfs would refuse the URB itself (errno in error).
bool transfer(Device &device, UMockdevIoctlClient *client, const usbdevfs_urb &urb, const std::uint8_t *bytes,
              std::size_t length, Pending &done, int &error)
{
    if (urb.type == USBDEVFS_URB_TYPE_CONTROL && length >= setup_size) {
        done.outcome = control_transfer(device, bytes, length);
        done.in_offset = setup_size;
        return true;
    }
    if (urb.type != USBDEVFS_URB_TYPE_BULK || (urb.endpoint != endpoint_in && urb.endpoint != endpoint_out)) {
        error = EINVAL;
        return false;
    }
    // Like the kernel, a bulk URB claims the interface for its file when nobody holds it.
    error = claim_interface(device, client);
    if (error != 0)
        return false;
    done.outcome = bulk_transfer(device, urb.endpoint, bytes, length);
    return true;
}

}  // namespace

void submit_urb(Device &device, UMockdevIoctlClient *client, UMockdevIoctlData *arg)
{
    if (device.config.vanish_after != 0 && device.transfers >= device.config.vanish_after) {
        device.vanished = true;
        ++device.counters.refused;
        complete(client, ENODEV);
        return;
    }
    Pending done;
    done.urb = resolve(arg, 0, sizeof(usbdevfs_urb));
    if (!done.urb) {
        complete(client, EFAULT);
        return;
    }
    const auto *urb = reinterpret_cast<const usbdevfs_urb *>(done.urb->data);
    const auto length = static_cast<std::size_t>(urb->buffer_length > 0 ? urb->buffer_length : 0);
    if (length > 0) {
        done.buffer = resolve(done.urb.get(), offsetof(usbdevfs_urb, buffer), length);
        if (!done.buffer) {
            complete(client, EFAULT);
            return;
        }
    }
    int error = 0;
    if (!transfer(device, client, *urb, done.buffer ? done.buffer->data : nullptr, length, done, error)) {
        complete(client, error);
        return;
    }
    ++device.transfers;
    client_state(device, client).completed.push_back(std::move(done));
    complete(client, 0);
}

void reap_urb(Device &device, UMockdevIoctlClient *client, UMockdevIoctlData *arg)
{
    Client &own = client_state(device, client);
    if (own.completed.empty()) {
        complete(client, EAGAIN);
        return;
    }
    const GObjectPtr<UMockdevIoctlData> slot = resolve(arg, 0, sizeof(void *));
    if (!slot) {
        complete(client, EFAULT);
        return;
    }
    const Pending done = std::move(own.completed.front());
    own.completed.pop_front();
    auto *urb = reinterpret_cast<usbdevfs_urb *>(done.urb->data);
    urb->status = done.outcome.status;
    urb->actual_length = done.outcome.actual_length;
    if (done.buffer && !done.outcome.in.empty())
        std::memcpy(done.buffer->data + done.in_offset, done.outcome.in.data(), done.outcome.in.size());
    umockdev_ioctl_data_set_ptr(slot.get(), 0, done.urb.get());
    complete(client, 0);
}

}  // namespace usbemu
