#include "tool_options.h"

#include <getopt.h>

#include <stdexcept>
#include <string>

#include "whole_number.h"

namespace usbemu {

const char tool_usage[] =
    "usage: wex_usbemu [MODULE OPTIONS] [--module MODULE OPTIONS]... [--absent] -- PROGRAM [ARGS...]\n"
    "module options: [--raw-temp N] [--raw-hum N] [--busy N] [--never-ready] [--mute]\n"
    "                [--ready-at-once | --maximum-conversion] [--latency-us N] [--serial-driver]\n"
    "                [--bad-crc temp|hum] [--vanish-after N] [--fail-transfer N:stall|timeout|short|gone]\n"
    "                [--node-closed] [--claimed]\n"
    "                [--port BUS-PORT[.PORT]...] [--devnum N] [--serial TEXT]\n";

namespace {

enum LongOnly : int {
    raw_temp = 256, raw_hum, busy, never_ready, mute, bad_crc, vanish_after, node_closed, claimed, port, devnum,
    module, absent, serial, fail_transfer, ready_at_once, maximum_conversion, latency_us,
    serial_driver,
};

constexpr option options[] = {
    {"raw-temp", required_argument, nullptr, raw_temp},
    {"raw-hum", required_argument, nullptr, raw_hum},
    {"busy", required_argument, nullptr, busy},
    {"never-ready", no_argument, nullptr, never_ready},
    {"mute", no_argument, nullptr, mute},
    {"bad-crc", required_argument, nullptr, bad_crc},
    {"vanish-after", required_argument, nullptr, vanish_after},
    {"node-closed", no_argument, nullptr, node_closed},
    {"claimed", no_argument, nullptr, claimed},
    {"port", required_argument, nullptr, port},
    {"devnum", required_argument, nullptr, devnum},
    {"module", no_argument, nullptr, module},
    {"absent", no_argument, nullptr, absent},
    {"serial", required_argument, nullptr, serial},
    {"fail-transfer", required_argument, nullptr, fail_transfer},
    {"ready-at-once", no_argument, nullptr, ready_at_once},
    {"maximum-conversion", no_argument, nullptr, maximum_conversion},
    {"latency-us", required_argument, nullptr, latency_us},
    {"serial-driver", no_argument, nullptr, serial_driver},
    {nullptr, 0, nullptr, 0},
};

unsigned long number(const std::string &text, unsigned long most)
{
    const auto value = wex_common::whole_number(text, 0UL, most, wex_common::Base::decimal_or_hex);
    if (!value)
        throw std::invalid_argument("not a usable number: " + text);
    return *value;
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

TransferFault parse_fault(const std::string &text)
{
    const std::size_t colon = text.find(':');
    const std::string kind = colon == std::string::npos ? "" : text.substr(colon + 1);
    TransferFault fault;
    if (kind == "stall")
        fault.kind = FaultKind::stall;
    else if (kind == "timeout")
        fault.kind = FaultKind::timeout;
    else if (kind == "short")
        fault.kind = FaultKind::short_transfer;
    else if (kind == "gone")
        fault.kind = FaultKind::gone;
    else
        throw std::invalid_argument("--fail-transfer takes N:stall|timeout|short|gone, not " + text);
    fault.transfer = static_cast<unsigned>(number(text.substr(0, colon), 1000000));
    if (fault.transfer == 0)
        throw std::invalid_argument("--fail-transfer counts transfers from 1");
    return fault;
}

// Each further module gets the next port of the root hub and the next device number.
void add_module(Config &config)
{
    const auto n = static_cast<unsigned>(config.more.size() + 1);
    Module next;
    next.placement = Placement{1, 2 + n, {1 + n}};
    config.more.push_back(next);
}

void apply(int option, const std::string &value, Config &config, Module &m)
{
    switch (option) {
    case raw_temp: m.sensor.raw_temperature = static_cast<std::uint16_t>(number(value, 0xFFFF)); break;
    case raw_hum: m.sensor.raw_humidity = static_cast<std::uint16_t>(number(value, 0xFFFF)); break;
    case busy: m.sensor.busy_samples = static_cast<unsigned>(number(value, 1000000)); break;
    case never_ready: m.sensor.never_ready = true; break;
    case mute: m.sensor.mute = true; break;
    case bad_crc:
        if (value != "temp" && value != "hum")
            throw std::invalid_argument("--bad-crc takes temp or hum");
        m.sensor.bad_crc = value == "temp" ? sensor_model::Frame::temperature : sensor_model::Frame::humidity;
        break;
    case vanish_after: m.vanish_after = static_cast<unsigned>(number(value, 1000000)); break;
    case node_closed: m.node_closed = true; break;
    case claimed: m.claimed_elsewhere = true; break;
    case port: parse_port(value, m.placement); break;
    case devnum: m.placement.address = static_cast<unsigned>(number(value, 255)); break;
    case module: add_module(config); break;
    case absent: config.present = false; break;
    case serial: m.serial = value; break;
    case fail_transfer: m.faults.push_back(parse_fault(value)); break;
    case ready_at_once: m.sensor.temperature_time = m.sensor.humidity_time = {}; break;
    case maximum_conversion:
        m.sensor.temperature_time = sensor_model::maximum_conversion.temperature;
        m.sensor.humidity_time = sensor_model::maximum_conversion.humidity;
        break;
    case latency_us: m.latency = std::chrono::microseconds(number(value, 1000000)); break;
    case serial_driver: m.serial_driver = true; break;
    default: throw std::invalid_argument("unknown option or missing value: " + value);
    }
}

}  // namespace

int parse_tool_options(int argc, char **argv, Config &config)
{
    auto current = [&config]() -> Module & { return config.more.empty() ? config : config.more.back(); };
    opterr = 0;
    optind = 0;
    for (int c; (c = getopt_long(argc, argv, "+:", options, nullptr)) != -1;)
        apply(c, c == '?' || c == ':' ? argv[optind - 1] : optarg != nullptr ? optarg : "", config, current());
    // The program follows "--", so that its own options are never taken for ours.
    if (optind >= argc || optind < 2 || std::string(argv[optind - 1]) != "--") {
        if (optind < argc)
            throw std::invalid_argument("unknown option or missing value: " + std::string(argv[optind]));
        throw std::invalid_argument("no program given");
    }
    return optind;
}

}  // namespace usbemu
