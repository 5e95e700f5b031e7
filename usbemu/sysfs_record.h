// The bus as sysfs and udev describe it: root hubs, the hubs between them and
// the modules, in umockdev's text format.
#ifndef USBEMU_SYSFS_RECORD_H
#define USBEMU_SYSFS_RECORD_H

#include <string>
#include <vector>

#include "emulator.h"

namespace usbemu {

// The kernel's name for the device: "1-2.3" is bus 1, hub port 2, then port 3.
std::string sysfs_name(const Placement &placement);
// "/sys/devices/.../usb1/1-2/1-2.3", as umockdev names the device
std::string syspath(const Placement &placement);
// "/dev/bus/usb/001/007"
std::string device_node(const Placement &placement);
// Throws std::invalid_argument for two modules in one place or a place no bus has.
void check_placements(const std::vector<Module> &modules);
// Hubs first, each once, then the modules in the order given.
std::string bus_record(const std::vector<Module> &modules);

}  // namespace usbemu

#endif
