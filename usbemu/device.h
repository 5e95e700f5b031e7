// One emulated module as usbfs sees it: the chip and sensor behind it, who
// has it open and who holds its interface, and what crossed the wire.
#ifndef USBEMU_DEVICE_H
#define USBEMU_DEVICE_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include <umockdev.h>

#include "emulator.h"
#include "gobject_ptr.h"

namespace usbemu {

// How the chip answers one URB.
struct Outcome {
    int status = 0;  // the URB's completion status: 0, or -EPIPE for a stall
    std::vector<std::uint8_t> in;  // bytes the device answers on an IN transfer
    int actual_length = 0;
};

// A URB submitted, waiting for its client to reap it once it has completed.
struct Pending {
    GObjectPtr<UMockdevIoctlData> urb;
    GObjectPtr<UMockdevIoctlData> buffer;  // null for a zero-length transfer
    std::uintptr_t address = 0;  // the URB's address in its program, which a discard names
    std::size_t in_offset = 0;
    Outcome outcome;
    bool in_flight = false;  // never completes until the program discards it
    std::chrono::steady_clock::time_point due;  // when it completes
};

// One open of the device node; its URBs are its own, as each usbfs file is.
struct Client {
    GObjectPtr<UMockdevIoctlClient> client;
    std::deque<Pending> completed;
    // The program that opened it: 0 when this process or unknown, ambiguous_peer
    // until it can be told from another program that connected at the same time.
    pid_t process = 0;
};

// Drops the emulator's reference to a client, keeping it instead while umockdev
// still has its stream open.
void let_go(GObjectPtr<UMockdevIoctlClient> client);

struct Device {
    explicit Device(const Module &m)
        : config(m), sensor(m.sensor), chip(sensor, m.stuck), serial_bound(m.serial_driver)
    {
    }

    Module config;
    std::string node;
    // What the kernel removes when the module is unplugged, under the testbed's root.
    std::vector<std::string> unplugged_paths;
    std::string ioctl_socket;  // where umockdev accepts the node's opens
    sensor_model::Sensor sensor;
    sensor_model::Chip chip;
    GObjectPtr<UMockdevIoctlBase> handler;

    std::mutex lock;
    std::vector<Request> log;
    Counters counters;
    std::deque<Client> clients;
    const UMockdevIoctlClient *holder = nullptr;  // the open that claimed interface 0
    unsigned transfers = 0;
    bool vanished = false;
    bool serial_bound;
};

inline void complete(UMockdevIoctlClient *client, int error)
{
    umockdev_ioctl_client_complete(client, error == 0 ? 0 : -1, error);
}

// usbfs ioctls, called on umockdev's worker thread with the device unlocked.
gboolean handle_ioctl(Device &device, UMockdevIoctlClient *client);
void client_connected(Device &device, UMockdevIoctlClient *client);

// The rest run with the device locked.
Client &client_state(Device &device, UMockdevIoctlClient *client);
void forget_closed_clients(Device &device);
// The module leaves the bus: its claim dropped, its sysfs record and device node removed.
void unplug(Device &device);
int claim_interface(Device &device, UMockdevIoctlClient *client);  // 0 or an errno
void submit_urb(Device &device, UMockdevIoctlClient *client, UMockdevIoctlData *arg);
void reap_urb(Device &device, UMockdevIoctlClient *client, UMockdevIoctlData *arg);
void discard_urb(Device &device, UMockdevIoctlClient *client, UMockdevIoctlData *arg);

// The chip's side of a transfer: vendor control requests and the bulk endpoints.
constexpr std::uint8_t endpoint_in = 0x81;
constexpr std::uint8_t endpoint_out = 0x02;
constexpr std::size_t setup_size = 8;
Outcome control_transfer(Device &device, const std::uint8_t *packet, std::size_t length);
Outcome bulk_transfer(Device &device, std::uint8_t endpoint, const std::uint8_t *data, std::size_t length);

// Resolves a pointer in the client's memory; null when it cannot be read.
GObjectPtr<UMockdevIoctlData> resolve(UMockdevIoctlData *parent, std::size_t offset, std::size_t length);

}  // namespace usbemu

#endif
