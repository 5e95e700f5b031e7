#include "failures.h"

#include <string_view>

namespace wex_q40 {

namespace {

struct KnownFailure {
    const char *line;     // how a line of the program starts
    const char *summary;  // "%node%" stands for the device node the line names
    const char *advice;
    bool permanent;
    const char *diagnose_advice;  // where advice sends the user to wex-q40 diagnose: what diagnose itself says
};

// The more telling line first: the open backend names the cause before the driver's general line.
constexpr KnownFailure known_failures[] = {
    {"FT_Open: permission denied on USB device", "permission denied on %node%",
     "the udev rule 60-wex-q40.rules gives the module to plugdev: sudo adduser $USER plugdev, then log in again",
     true, nullptr},
    {"FT_Open: USB device", "%node% is claimed by another program",
     "another program holds the module: fuser -v %node% shows which", false, nullptr},
    {"wex_init: cannot load libftd2xx.so", "no USB library to reach the module",
     "install libftdi1-2 (the open backend) or the vendor's libftd2xx.so", true, nullptr},
    {"wex_open: FT_Open failed to open WEX-Q40 device.", "no WEX-Q40 module found (USB 0403:fbf9)",
     "run wex-q40 diagnose; lsusb -d 0403:fbf9 lists the module when attached", true,
     "plug the module in (lsusb -d 0403:fbf9 lists it when attached); once it is listed, the checks above of "
     "its access and its kernel driver say why it cannot be opened"},
    {"Could not enable bit-bang mode.", "the module refused bit-bang mode", "replug the module", false, nullptr},
    {"wex_read_temp: Bad CRC.", "checksum mismatch in the temperature frame",
     "noise on the cable, a failing sensor, or the module unplugged during the reading", false, nullptr},
    {"wex_read_temp: Timed out waiting for the sensor.", "the sensor did not answer within 2 s",
     "replug the module; if it goes on, the sensor needs repair", false, nullptr},
    {"wex_read_temp: FT_GetBitMode failed.", "reading the module's pins failed",
     "the module was probably unplugged; replug it", false, nullptr},
    {"wex_read_hum failed!", "the humidity reading failed",
     "a checksum mismatch, a sensor that did not answer, or the module unplugged during the reading", false, nullptr},
    {"wex_set_clear_bit: Write to wex-q40 failed", "a USB write to the module failed",
     "check the cable, avoid unpowered hubs, try another port", false, nullptr},
    {"wex_init failed!", "the USB library rejected the module's IDs", "reinstall the USB library", true, nullptr},
};

// The device node a line names, such as /dev/bus/usb/001/004.
std::string node_in(std::string_view line)
{
    const auto start = line.find("/dev/");
    if (start == std::string_view::npos)
        return "the module's device node";
    const auto end = line.find(' ', start);
    return std::string(line.substr(start, end == std::string_view::npos ? end : end - start));
}

std::string with_node(std::string text, const std::string &node)
{
    constexpr std::string_view slot = "%node%";
    for (auto at = text.find(slot); at != std::string::npos; at = text.find(slot, at + node.size()))
        text.replace(at, slot.size(), node);
    return text;
}

}  // namespace

std::optional<Diagnosis> diagnose_failure(const std::vector<std::string> &lines, bool by_diagnose)
{
    for (const KnownFailure &known : known_failures)
        for (const std::string &line : lines)
            if (line.rfind(known.line, 0) == 0) {
                const std::string node = node_in(line);
                const bool own = by_diagnose && known.diagnose_advice != nullptr;
                const char *advice = own ? known.diagnose_advice : known.advice;
                return Diagnosis{with_node(known.summary, node), with_node(advice, node), known.permanent};
            }
    return std::nullopt;
}

}  // namespace wex_q40
