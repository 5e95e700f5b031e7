#include "sysfs_record.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <stdexcept>
#include <utility>

#include "module_facts.h"

namespace usbemu {

namespace {

constexpr unsigned max_bus = 255;
constexpr unsigned root_hub_address = 1;
constexpr unsigned max_address = 127;
constexpr unsigned max_port = 31;   // the most ports Linux gives one hub
constexpr std::size_t max_depth = 7;  // the most ports libusb reports on a path
constexpr const char *controller = "/devices/pci0000:00/0000:00:14.0";

// Device descriptor (bcdDevice 0x0600, so libftdi1 takes it for an FT232R), then one
// configuration with one vendor interface: bulk IN 0x81 and bulk OUT 0x02, 64-byte packets.
constexpr const char *module_descriptors =
    "12010002000000080304F9FB000601020301"
    "09022000010100802D"
    "0904000002FFFFFF02"
    "07058102400000"
    "07050202400000";
// A full-speed hub: device descriptor, one configuration, the hub interface and its interrupt endpoint.
constexpr const char *hub_descriptors =
    "12010002090001406B1D0200010603020101"
    "09021900010100E000"
    "090400000109000000"
    "0705810304000C";

std::string padded(unsigned number)
{
    char text[8];
    std::snprintf(text, sizeof text, "%03u", number);
    return text;
}

std::string ports_text(const std::vector<unsigned> &ports)
{
    std::string text;
    for (unsigned port : ports)
        text += (text.empty() ? "" : ".") + std::to_string(port);
    return text;
}

std::string hex(unsigned value, int digits)
{
    char text[8];
    std::snprintf(text, sizeof text, "%0*x", digits, value);
    return text;
}

// Sysfs nests a device under its hub: usb1/1-2/1-2.3.
std::string sysfs_path(unsigned bus, const std::vector<unsigned> &ports)
{
    std::string path = std::string(controller) + "/usb" + std::to_string(bus);
    for (std::size_t depth = 1; depth <= ports.size(); ++depth)
        path += "/" + sysfs_name(Placement{bus, 0, std::vector<unsigned>(ports.begin(), ports.begin() + static_cast<std::ptrdiff_t>(depth))});
    return path;
}

std::string common_lines(unsigned bus, unsigned address, const std::vector<unsigned> &ports)
{
    const std::string node = device_node(Placement{bus, address, ports});
    return "P: " + sysfs_path(bus, ports) + "\n"
           "N: " + node.substr(std::string("/dev/").size()) + "\n"
           "E: SUBSYSTEM=usb\n"
           "E: DEVTYPE=usb_device\n"
           "E: BUSNUM=" + padded(bus) + "\n"
           "E: DEVNUM=" + padded(address) + "\n"
           "E: DEVNAME=" + node + "\n"
           "A: busnum=" + std::to_string(bus) + "\n"
           "A: devnum=" + std::to_string(address) + "\n"
           "A: devpath=" + (ports.empty() ? "0" : ports_text(ports)) + "\n"
           "A: bConfigurationValue=1\n"
           "A: bNumConfigurations=1\n";
}

std::string hub_record(unsigned bus, unsigned address, const std::vector<unsigned> &ports)
{
    return common_lines(bus, address, ports) +
           "E: PRODUCT=1d6b/2/601\n"
           "A: idVendor=1d6b\n"
           "A: idProduct=0002\n"
           "A: bcdDevice=0601\n"
           "A: speed=480\n"
           "H: descriptors=" + hub_descriptors + "\n\n";
}

std::string module_record(const Module &m)
{
    const Placement &p = m.placement;
    return common_lines(p.bus, p.address, p.ports) +
           "E: PRODUCT=" + hex(wex_module::vendor_id, 1) + "/" + hex(wex_module::product_id, 1) + "/600\n"
           "A: idVendor=" + hex(wex_module::vendor_id, 4) + "\n"
           "A: idProduct=" + hex(wex_module::product_id, 4) + "\n"
           "A: bcdDevice=0600\n"
           "A: speed=12\n"
           "A: manufacturer=WEX\n"
           "A: product=WEX-Q40\n" +
           (m.serial.empty() ? std::string() : "A: serial=" + m.serial + "\n") +
           "H: descriptors=" + module_descriptors + "\n\n";
}

bool starts_with(const std::vector<unsigned> &path, const std::vector<unsigned> &prefix)
{
    return prefix.size() <= path.size() && std::equal(prefix.begin(), prefix.end(), path.begin());
}

}  // namespace

std::string sysfs_name(const Placement &placement)
{
    return std::to_string(placement.bus) + "-" + ports_text(placement.ports);
}

std::string syspath(const Placement &placement)
{
    return "/sys" + sysfs_path(placement.bus, placement.ports);
}

std::string device_node(const Placement &placement)
{
    return "/dev/bus/usb/" + padded(placement.bus) + "/" + padded(placement.address);
}

void check_placements(const std::vector<Module> &modules)
{
    for (std::size_t i = 0; i < modules.size(); ++i) {
        const Placement &p = modules[i].placement;
        const std::string name = "usbemu: module " + std::to_string(i) + " at " + sysfs_name(p);
        if (p.bus < 1 || p.bus > max_bus || p.address <= root_hub_address || p.address > max_address)
            throw std::invalid_argument(name + ": no such bus or device number");
        if (p.ports.empty() || p.ports.size() > max_depth ||
            std::any_of(p.ports.begin(), p.ports.end(), [](unsigned port) { return port < 1 || port > max_port; }))
            throw std::invalid_argument(name + ": no such port path");
        for (std::size_t j = 0; j < i; ++j) {
            const Placement &q = modules[j].placement;
            if (q.bus == p.bus && q.address == p.address)
                throw std::invalid_argument(name + ": device number " + std::to_string(p.address) + " taken");
            if (q.bus == p.bus && (starts_with(p.ports, q.ports) || starts_with(q.ports, p.ports)))
                throw std::invalid_argument(name + ": port taken, or behind a module");
        }
    }
}

std::string bus_record(const std::vector<Module> &modules)
{
    std::set<std::pair<unsigned, unsigned>> taken;  // (bus, address)
    for (const Module &m : modules)
        taken.insert({m.placement.bus, m.placement.address});
    // Hubs take the highest free device numbers, so that the modules keep theirs.
    auto free_address = [&taken](unsigned bus) {
        unsigned address = max_address;
        while (taken.count({bus, address}) != 0)
            if (--address == root_hub_address)
                throw std::invalid_argument("usbemu: bus " + std::to_string(bus) + ": no device number left for a hub");
        taken.insert({bus, address});
        return address;
    };

    std::string record;
    std::set<std::string> hubs;
    for (const Module &m : modules) {
        const Placement &p = m.placement;
        for (std::size_t depth = 0; depth < p.ports.size(); ++depth) {
            const std::vector<unsigned> hub_ports(p.ports.begin(), p.ports.begin() + static_cast<std::ptrdiff_t>(depth));
            if (!hubs.insert(sysfs_path(p.bus, hub_ports)).second)
                continue;
            record += hub_record(p.bus, depth == 0 ? root_hub_address : free_address(p.bus), hub_ports);
        }
    }
    for (const Module &m : modules)
        record += module_record(m);
    return record;
}

}  // namespace usbemu
