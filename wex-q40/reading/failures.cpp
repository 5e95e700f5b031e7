#include "failures.h"

#include <algorithm>
#include <string_view>

#include "wex_messages.h"

namespace wex_q40 {

namespace {

namespace msg = wex_messages;

struct KnownFailure {
    const char *line;     // the program's format of the line
    const char *summary;  // in both texts "%node%" stands for the device node the line names,
    const char *advice;   // "%usb_id%" for the module's USB ID and "%library%" for the library's name
    bool permanent;
    const char *diagnose_advice;  // where advice sends the user to wex-q40 diagnose: what diagnose itself says
};

// The more telling line first: the open backend names the cause before the driver's general line.
constexpr KnownFailure known_failures[] = {
    {msg::permission_denied, "permission denied on %node%",
     "the udev rule 60-wex-q40.rules gives the module to plugdev: sudo adduser $USER plugdev, then log in again",
     true, nullptr},
    {msg::claimed, "%node% is claimed by another program",
     "another program holds the module: fuser -v %node% shows which", false, nullptr},
    {msg::load_failed, "no USB library to reach the module",
     "install libftdi1-2 (the open backend) or the vendor's %library%", true, nullptr},
    {msg::open_failed, "no WEX-Q40 module found (USB %usb_id%)",
     "run wex-q40 diagnose; lsusb -d %usb_id% lists the module when attached", true,
     "plug the module in (lsusb -d %usb_id% lists it when attached); once it is listed, the checks above of "
     "its access and its kernel driver say why it cannot be opened"},
    {msg::bit_bang_failed, "the module refused bit-bang mode", "replug the module", false, nullptr},
    {msg::bad_crc, "checksum mismatch in the temperature frame",
     "noise on the cable or a failing sensor; avoid unpowered hubs", false, nullptr},
    {msg::sensor_timed_out, "the sensor did not answer within 2 s",
     "replug the module; if it goes on, the sensor needs repair", false, nullptr},
    {msg::pins_read_failed, "reading the module's pins failed",
     "check the cable, avoid unpowered hubs, try another port", false, nullptr},
    {msg::read_hum_failed, "the humidity reading failed",
     "a checksum mismatch or a sensor that did not answer: noise on the cable or a failing sensor", false, nullptr},
    {msg::write_failed, "a USB write to the module failed",
     "check the cable, avoid unpowered hubs, try another port", false, nullptr},
    {msg::init_failed, "the USB library rejected the module's IDs", "reinstall the USB library", true, nullptr},
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

std::string replaced(std::string text, std::string_view slot, std::string_view value)
{
    for (auto at = text.find(slot); at != std::string::npos; at = text.find(slot, at + value.size()))
        text.replace(at, slot.size(), value);
    return text;
}

std::string filled_in(const char *text, const std::string &node)
{
    return replaced(replaced(replaced(text, "%node%", node), "%usb_id%", msg::usb_id.text), "%library%",
                    msg::library_name);
}

// The fixed texts of a printf format, between its conversions, without the line's newline.
std::vector<std::string> fixed_pieces(std::string_view format)
{
    if (!format.empty() && format.back() == '\n')
        format.remove_suffix(1);
    std::vector<std::string> pieces(1);
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') {
            pieces.back() += format[i];
        } else if (i + 1 < format.size() && format[i + 1] == '%') {
            pieces.back() += '%';
            ++i;
        } else {
            i = std::min(format.find_first_not_of("-+ #0123456789.hlz", i + 1), format.size());
            pieces.emplace_back();
        }
    }
    return pieces;
}


}  // namespace

// Whether the format could have printed the line, each conversion standing for any text.
bool printed_by(std::string_view line, const char *format)
{
    const std::vector<std::string> pieces = fixed_pieces(format);
    if (pieces.size() == 1)
        return line == pieces.front();
    if (line.substr(0, pieces.front().size()) != pieces.front())
        return false;
    line.remove_prefix(pieces.front().size());
    for (std::size_t i = 1; i + 1 < pieces.size(); ++i) {
        const auto at = line.find(pieces[i]);
        if (at == std::string_view::npos)
            return false;
        line.remove_prefix(at + pieces[i].size());
    }
    const std::string &last = pieces.back();
    return line.size() >= last.size() && line.substr(line.size() - last.size()) == last;
}

std::optional<Diagnosis> diagnose_failure(const std::vector<std::string> &lines, bool by_diagnose)
{
    for (const KnownFailure &known : known_failures)
        for (const std::string &line : lines)
            if (printed_by(line, known.line)) {
                const std::string node = node_in(line);
                const bool own = by_diagnose && known.diagnose_advice != nullptr;
                const char *advice = own ? known.diagnose_advice : known.advice;
                return Diagnosis{filled_in(known.summary, node), filled_in(advice, node), known.permanent};
            }
    return std::nullopt;
}

Diagnosis unplugged_during_reading(bool retried)
{
    return Diagnosis{"the module was unplugged during the reading",
                     retried ? "plug the module back in; the retries found no module" : "plug the module back in",
                     true};
}

}  // namespace wex_q40
