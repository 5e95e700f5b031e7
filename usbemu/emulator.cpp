// The testbed: one device node per module, each answered by its own ioctl handler.
#include "emulator.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <umockdev.h>

#include "device.h"
#include "gobject_ptr.h"
#include "sysfs_record.h"

namespace usbemu {

namespace {

gboolean on_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer device)
{
    return handle_ioctl(*static_cast<Device *>(device), client);
}

void on_connected(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer device)
{
    client_connected(*static_cast<Device *>(device), client);
}

std::string error_text(const GError *error)
{
    return error != nullptr ? error->message : "unknown error";
}

}  // namespace

struct Emulator::Impl {
    Impl() = default;
    Impl(const Impl &) = delete;
    Impl &operator=(const Impl &) = delete;
    // The testbed and its worker thread go first, so no request reaches a device being destroyed.
    ~Impl()
    {
        for (std::size_t i = 0; i < attached; ++i)
            umockdev_testbed_detach_ioctl(testbed.get(), devices[i]->node.c_str(), nullptr);
        testbed.reset();
        for (const auto &device : devices)
            for (Client &client : device->clients)
                let_go(std::move(client.client));
        devices.clear();
    }

    GObjectPtr<UMockdevTestbed> testbed;
    std::vector<std::unique_ptr<Device>> devices;
    std::size_t attached = 0;
};

Emulator::Emulator(const Config &config) : impl_(std::make_unique<Impl>())
{
    if (!preloaded())
        throw std::runtime_error("usbemu: not running under umockdev's preload (call run_under_preload first)");
    std::vector<Module> modules;
    if (config.present) {
        modules.push_back(static_cast<const Module &>(config));
        modules.insert(modules.end(), config.more.begin(), config.more.end());
    }
    check_placements(modules);

    impl_->testbed.reset(umockdev_testbed_new());
    const std::string root = root_dir();
    g_autoptr(GError) error = nullptr;
    for (const Module &module : modules) {
        auto device = std::make_unique<Device>(module);
        device->node = device_node(module.placement);
        device->unplugged_paths = {root + device->node, root + "/sys/bus/usb/devices/" + sysfs_name(module.placement),
                                   root + syspath(module.placement)};
        device->ioctl_socket = root + "/ioctl" + device->node;
        device->handler.reset(umockdev_ioctl_base_new());
        g_signal_connect(device->handler.get(), "handle-ioctl", G_CALLBACK(on_ioctl), device.get());
        g_signal_connect(device->handler.get(), "client-connected", G_CALLBACK(on_connected), device.get());
        impl_->devices.push_back(std::move(device));
        const Device &added = *impl_->devices.back();
        if (!umockdev_testbed_attach_ioctl(impl_->testbed.get(), added.node.c_str(), added.handler.get(), &error))
            throw std::runtime_error("usbemu: cannot build the testbed: " + error_text(error));
        ++impl_->attached;
    }
    if (!modules.empty() && !umockdev_testbed_add_from_string(impl_->testbed.get(), bus_record(modules).c_str(), &error))
        throw std::runtime_error("usbemu: cannot build the testbed: " + error_text(error));
    for (const auto &device : impl_->devices)
        if (device->config.node_closed && chmod((root + device->node).c_str(), 0) != 0)
            throw std::runtime_error(std::string("usbemu: cannot close the device node: ") + std::strerror(errno));
}

Emulator::~Emulator() = default;

std::vector<Request> Emulator::log(std::size_t module) const
{
    if (impl_->devices.empty() && module == 0)
        return {};
    Device &device = *impl_->devices.at(module);
    const std::lock_guard<std::mutex> guard(device.lock);
    return device.log;
}

Counters Emulator::counters(std::size_t module) const
{
    if (impl_->devices.empty() && module == 0)
        return {};
    Device &device = *impl_->devices.at(module);
    const std::lock_guard<std::mutex> guard(device.lock);
    forget_closed_clients(device);
    Counters c = device.counters;
    c.open_now = static_cast<unsigned>(device.clients.size());
    c.held = device.holder != nullptr;
    c.unplugged = device.vanished;
    c.sensor = device.sensor.counters();
    c.chip = device.chip.counters();
    return c;
}

std::string Emulator::node_of(std::size_t module) const
{
    return impl_->devices.at(module)->node;
}

std::string Emulator::root_dir() const
{
    g_autofree gchar *root = umockdev_testbed_get_root_dir(impl_->testbed.get());
    return root;
}

}  // namespace usbemu
