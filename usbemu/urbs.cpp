// URBs: each completes its latency after it is submitted, or is held in
// flight by a fault, and waits for its own client to reap it.
#include "device.h"

// <sys/ioctl.h> must come first, or the USBDEVFS_* numbers are no constant expressions.
#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <optional>

namespace usbemu {

GObjectPtr<UMockdevIoctlData> resolve(UMockdevIoctlData *parent, std::size_t offset, std::size_t length)
{
    g_autoptr(GError) error = nullptr;
    return GObjectPtr<UMockdevIoctlData>(umockdev_ioctl_data_resolve(parent, offset, length, &error));
}

namespace {

// 0 when usbfs takes the URB, else the errno it refuses it with.
int accept(Device &device, UMockdevIoctlClient *client, const usbdevfs_urb &urb, std::size_t length)
{
    if (urb.type == USBDEVFS_URB_TYPE_CONTROL && length >= setup_size)
        return 0;
    if (urb.type != USBDEVFS_URB_TYPE_BULK || (urb.endpoint != endpoint_in && urb.endpoint != endpoint_out))
        return EINVAL;
    // Like the kernel, a bulk URB claims the interface for its file when nobody holds it.
    return claim_interface(device, client);
}

std::optional<FaultKind> fault_at(const Device &device, unsigned transfer)
{
    if (device.config.vanish_after != 0 && transfer > device.config.vanish_after)
        return FaultKind::gone;
    for (const TransferFault &f : device.config.faults)
        if (f.transfer == transfer)
            return f.kind;
    return std::nullopt;
}

// The chip's side; a short transfer moves half of what was asked, rounded down.
void run_transfer(Device &device, const usbdevfs_urb &urb, std::uint8_t *bytes, std::size_t length, bool cut_short,
                  Pending &done)
{
    if (urb.type == USBDEVFS_URB_TYPE_CONTROL) {
        done.in_offset = setup_size;
        const std::size_t data = length - setup_size;
        done.outcome = control_transfer(device, bytes, cut_short ? setup_size + data / 2 : length);
        if (cut_short && done.outcome.in.size() > 0) {
            done.outcome.in.resize(done.outcome.in.size() / 2);
            done.outcome.actual_length = static_cast<int>(done.outcome.in.size());
        }
        return;
    }
    done.outcome = bulk_transfer(device, urb.endpoint, bytes, cut_short ? length / 2 : length);
}

}  // namespace

void submit_urb(Device &device, UMockdevIoctlClient *client, UMockdevIoctlData *arg)
{
    const std::optional<FaultKind> fault = fault_at(device, device.transfers + 1);
    if (fault == FaultKind::gone) {
        ++device.transfers;
        unplug(device);
        ++device.counters.refused;
        complete(client, ENODEV);
        return;
    }
    Pending done;
    // Read before resolving, which points the argument at the emulator's copy.
    std::memcpy(&done.address, arg->data, sizeof done.address);
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
    if (const int error = accept(device, client, *urb, length)) {
        complete(client, error);
        return;
    }
    ++device.transfers;
    done.due = std::chrono::steady_clock::now() + device.config.latency;
    if (fault == FaultKind::stall)
        done.outcome.status = -EPIPE;
    else if (fault == FaultKind::timeout)
        done.in_flight = true;
    else
        run_transfer(device, *urb, done.buffer ? done.buffer->data : nullptr, length,
                     fault == FaultKind::short_transfer, done);
    client_state(device, client).completed.push_back(std::move(done));
    complete(client, 0);
}

void reap_urb(Device &device, UMockdevIoctlClient *client, UMockdevIoctlData *arg)
{
    Client &own = client_state(device, client);
    if (own.completed.empty() || own.completed.front().in_flight ||
        std::chrono::steady_clock::now() < own.completed.front().due) {
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

// A URB still in flight completes as cancelled; one already complete cannot be discarded.
void discard_urb(Device &device, UMockdevIoctlClient *client, UMockdevIoctlData *arg)
{
    std::uintptr_t address = 0;
    std::memcpy(&address, arg->data, sizeof address);
    Client &own = client_state(device, client);
    const auto it = std::find_if(own.completed.begin(), own.completed.end(),
                                 [address](const Pending &p) { return p.in_flight && p.address == address; });
    if (it == own.completed.end()) {
        complete(client, EINVAL);
        return;
    }
    it->in_flight = false;
    it->outcome = Outcome{-ENOENT, {}, 0};
    ++device.counters.discarded;
    complete(client, 0);
}

}  // namespace usbemu
