#include "module_identity.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <vector>

#include "whole_number.h"
#include "wex_messages.h"

namespace wex_q40 {

namespace {

namespace fs = std::filesystem;

constexpr unsigned largest_bus_number = 255;
constexpr unsigned largest_port = 255;
constexpr std::size_t bcd_digits = 4;

std::string first_line_of(const fs::path &path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// The bus number, then the hub ports from the root down, as the open backend orders modules; empty when unreadable.
std::vector<unsigned> bus_place(const fs::path &dir)
{
    const auto bus = wex_common::whole_number(first_line_of(dir / "busnum"), 1U, largest_bus_number);
    if (!bus)
        return {};
    std::vector<unsigned> place{*bus};
    const std::string path = first_line_of(dir / "devpath");
    for (std::size_t start = 0; start < path.size();) {
        const std::size_t dot = std::min(path.find('.', start), path.size());
        const auto port = wex_common::whole_number(std::string_view(path).substr(start, dot - start), 1U, largest_port);
        if (!port)
            return {};
        place.push_back(*port);
        start = dot + 1;
    }
    return place.size() > 1 ? place : std::vector<unsigned>{};
}

// The device node the kernel made for it, from its bus and device numbers.
std::string node_of(const fs::path &dir)
{
    const auto bus = wex_common::whole_number(first_line_of(dir / "busnum"), 1U, largest_bus_number);
    const auto address = wex_common::whole_number(first_line_of(dir / "devnum"), 1U, largest_bus_number);
    if (!bus || !address)
        return {};
    std::array<char, 40> node{};
    std::snprintf(node.data(), node.size(), wex_messages::device_node_format, *bus, *address);
    return node.data();
}

// "0600" is 6.00: the major version without its leading zero, the minor as both digits.
std::string version_of(const std::string &bcd)
{
    if (bcd.size() != bcd_digits || bcd.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return {};
    const std::string major = bcd[0] == '0' ? bcd.substr(1, 1) : bcd.substr(0, 2);
    return major + "." + bcd.substr(2);
}

}  // namespace

std::optional<ModuleIdentity> module_identity(const std::string &usb_devices)
{
    std::error_code error;
    std::vector<unsigned> first_place;
    fs::path first;
    for (const auto &entry : fs::directory_iterator(usb_devices, error)) {
        const fs::path &dir = entry.path();
        if (first_line_of(dir / "idVendor") != wex_messages::usb_id.vendor() ||
            first_line_of(dir / "idProduct") != wex_messages::usb_id.product())
            continue;
        const std::vector<unsigned> place = bus_place(dir);
        if (!place.empty() && (first_place.empty() || place < first_place)) {
            first_place = place;
            first = dir;
        }
    }
    if (first.empty())
        return std::nullopt;
    return ModuleIdentity{first_line_of(first / "manufacturer"), first_line_of(first / "product"),
                          first_line_of(first / "serial"),        version_of(first_line_of(first / "bcdDevice")),
                          first.filename().string(),              node_of(first)};
}

std::optional<bool> module_attached(const std::string &usb_devices)
{
    std::error_code error;
    if (!fs::is_directory(usb_devices, error))
        return std::nullopt;
    return module_identity(usb_devices).has_value();
}

}  // namespace wex_q40
