// The module the program reads, as the kernel describes it in sysfs: what its USB descriptors say of it.
#ifndef WEX_Q40_MODULE_IDENTITY_H
#define WEX_Q40_MODULE_IDENTITY_H

#include <optional>
#include <string>

namespace wex_q40 {

// Each field empty where the module's descriptors do not give it.
struct ModuleIdentity {
    std::string manufacturer;
    std::string product;
    std::string serial;
    std::string hw_version;  // bcdDevice as major.minor, "6.00" for 0600
    std::string bus_path;    // as sysfs names it, e.g. 1-1.4
    std::string node;        // /dev/bus/usb/BBB/DDD; empty when sysfs does not give its numbers
};

constexpr const char *sysfs_usb_devices = "/sys/bus/usb/devices";

// Of the modules attached, the first by bus number and then port path, the one the program opens.
std::optional<ModuleIdentity> module_identity(const std::string &usb_devices = sysfs_usb_devices);

// Whether a module is attached; nothing when sysfs cannot be read, which says nothing of the bus.
std::optional<bool> module_attached(const std::string &usb_devices = sysfs_usb_devices);

}  // namespace wex_q40

#endif
