#include "tool_options.h"

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace usbemu {

const char tool_usage[] =
    "usage: wex_usbemu [MODULE OPTIONS] [--module MODULE OPTIONS]... [--absent] -- PROGRAM [ARGS...]\n"
    "module options: [--raw-temp N] [--raw-hum N] [--busy N] [--never-ready] [--mute]\n"
    "                [--bad-crc temp|hum] [--vanish-after N] [--node-closed] [--claimed]\n"
    "                [--port BUS-PORT[.PORT]...] [--devnum N]\n";

namespace {

unsigned long number(const std::string &text, unsigned long max)
{
    char *end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0' || value > max)
        throw std::invalid_argument("not a usable number: " + text);
    return value;
}

// "1-2.3": bus 1, hub port 2, then port 3.
void parse_port(const std::string &text, Placement &placement)
{
    const std::size_t dash = text.find('-');
    if (dash == std::string::npos)
        throw std::invalid_argument("--port takes BUS-PORT[.PORT]..., not " + text);
    placement.bus = static_cast<unsigned>(number(text.substr(0, dash), 255));
    placement.ports.clear();
    for (std::size_t start = dash + 1;;) {
        const std::size_t dot = text.find('.', start);
        placement.ports.push_back(static_cast<unsigned>(number(text.substr(start, dot - start), 255)));
        if (dot == std::string::npos)
            break;
        start = dot + 1;
    }
}

// Options that take no value; false when option is none of them.
bool apply_flag(const std::string &option, Config &config, Module &module)
{
    if (option == "--never-ready")
        module.sensor.never_ready = true;
    else if (option == "--mute")
        module.sensor.mute = true;
    else if (option == "--node-closed")
        module.node_closed = true;
    else if (option == "--claimed")
        module.claimed_elsewhere = true;
    else if (option == "--absent")
        config.present = false;
    else
        return false;
    return true;
}

// Options followed by a value; false when option is none of them.
bool apply_value(const std::string &option, const std::string &value, Module &module)
{
    if (option == "--raw-temp") {
        module.sensor.raw_temperature = static_cast<std::uint16_t>(number(value, 0xFFFF));
    } else if (option == "--raw-hum") {
        module.sensor.raw_humidity = static_cast<std::uint16_t>(number(value, 0xFFFF));
    } else if (option == "--busy") {
        module.sensor.busy_samples = static_cast<unsigned>(number(value, 1000000));
    } else if (option == "--bad-crc") {
        if (value != "temp" && value != "hum")
            throw std::invalid_argument("--bad-crc takes temp or hum");
        module.sensor.bad_crc = value == "temp" ? vmodule::Frame::temperature : vmodule::Frame::humidity;
    } else if (option == "--vanish-after") {
        module.vanish_after = static_cast<unsigned>(number(value, 1000000));
    } else if (option == "--port") {
        parse_port(value, module.placement);
    } else if (option == "--devnum") {
        module.placement.address = static_cast<unsigned>(number(value, 255));
    } else {
        return false;
    }
    return true;
}

}  // namespace

int parse_tool_options(int argc, char **argv, Config &config)
{
    auto current = [&config]() -> Module & { return config.more.empty() ? config : config.more.back(); };
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--") {
            if (i + 1 >= argc)
                break;
            return i + 1;
        }
        if (option == "--module") {
            // Each further module gets the next port of the root hub and the next device number.
            const auto n = static_cast<unsigned>(config.more.size() + 1);
            Module next;
            next.placement = Placement{1, 2 + n, {1 + n}};
            config.more.push_back(next);
        } else if (apply_flag(option, config, current())) {
            continue;
        } else if (i + 1 < argc && apply_value(option, argv[i + 1], current())) {
            ++i;
        } else {
            throw std::invalid_argument("unknown option or missing value: " + option);
        }
    }
    throw std::invalid_argument("no program given");
}

}  // namespace usbemu
