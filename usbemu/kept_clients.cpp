// A program killed in the middle of an exchange leaves its client's stream
// open in umockdev for good, and umockdev warns whenever such a client is
// destroyed; the emulator holds on to those rather than be their last owner.
#include <mutex>
#include <vector>

#include "device.h"

namespace usbemu {

namespace {

std::mutex kept_lock;

// Never destroyed, so the clients in it outlive every other owner, up to exit.
std::vector<UMockdevIoctlClient *> &kept()
{
    static auto *clients = new std::vector<UMockdevIoctlClient *>;
    return *clients;
}

}  // namespace

void let_go(GObjectPtr<UMockdevIoctlClient> client)
{
    const std::lock_guard<std::mutex> guard(kept_lock);
    std::vector<UMockdevIoctlClient *> &clients = kept();
    for (auto it = clients.begin(); it != clients.end();) {
        if (umockdev_ioctl_client_get_connected(*it)) {
            ++it;
            continue;
        }
        g_object_unref(*it);
        it = clients.erase(it);
    }
    if (client && umockdev_ioctl_client_get_connected(client.get()))
        clients.push_back(client.release());
}

}  // namespace usbemu
