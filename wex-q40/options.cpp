#include "options.h"

#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <array>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "commands.h"
#include "snmp.h"
#include "whole_number.h"

namespace wex_q40 {

namespace {

constexpr unsigned longest_timeout_s = 86400;
constexpr unsigned most_retries = 10;
constexpr unsigned textfile_timeout_s = 30;
constexpr unsigned most_verbosity = 3;
// getopt_long's value for an option without a letter: past every char.
constexpr int first_long_only = 256;
constexpr unsigned snmp_timeout_s = 5;
constexpr int max_age_option = first_long_only + 32;
constexpr unsigned longest_max_age_s = 3600;
constexpr unsigned longest_cache_s = 3600;
// snmp's long-only options, past the thresholds' ids.
enum SnmpOption : int { base_oid_option = first_long_only + 64, cache_option };
constexpr unsigned largest_port = 65535;
// mqtt's long-only options, past snmp's.
enum MqttOption : int {
    host_option = first_long_only + 128,
    port_option,
    cafile_option,
    credentials_option,
    prefix_option,
    discovery_prefix_option,
    expire_after_option,
    remove_option
};
constexpr std::array<option, 8> mqtt_options{{
    {"host", required_argument, nullptr, host_option},
    {"port", required_argument, nullptr, port_option},
    {"cafile", required_argument, nullptr, cafile_option},
    {"credentials", required_argument, nullptr, credentials_option},
    {"prefix", required_argument, nullptr, prefix_option},
    {"discovery-prefix", required_argument, nullptr, discovery_prefix_option},
    {"expire-after", required_argument, nullptr, expire_after_option},
    {"remove", no_argument, nullptr, remove_option},
}};

// Whole numbers in decimal only, as the time-out of the textfile hook always was.
std::optional<unsigned> parse_count(std::string_view text, unsigned least, unsigned most)
{
    return wex_common::whole_number(text, least, most);
}

std::string env_or(const char *name, const std::string &fallback)
{
    const char *value = std::getenv(name);
    return value != nullptr && *value != '\0' ? std::string(value) : fallback;
}

struct ThresholdOption {
    const char *name;  // its long name
    Quantity quantity;
    char letter;  // 0: long only
    bool critical;
};
constexpr ThresholdOption threshold_options[] = {
    {"warning", temperature, 'w', false},
    {"critical", temperature, 'c', true},
    {"humidity-warning", humidity, 0, false},
    {"humidity-critical", humidity, 0, true},
    {"dewpoint-warning", dewpoint, 0, false},
    {"dewpoint-critical", dewpoint, 0, true},
};

int threshold_id(std::size_t index)
{
    const ThresholdOption &t = threshold_options[index];
    return t.letter != 0 ? t.letter : first_long_only + static_cast<int>(index);
}

const ThresholdOption *threshold_option(int id)
{
    for (std::size_t i = 0; i < std::size(threshold_options); ++i)
        if (threshold_id(i) == id)
            return &threshold_options[i];
    return nullptr;
}

// Empty when the range parses.
std::string set_threshold(Options &o, const ThresholdOption &t, const char *text)
{
    AlertRanges &ranges = o.alert_ranges[t.quantity];
    std::optional<Range> &slot = t.critical ? ranges.critical_range : ranges.warning_range;
    slot = parse_range(text);
    if (!slot)
        return std::string("not a range (or start above end) for ") +
               (t.letter != 0 ? std::string("-") + t.letter : std::string("--") + t.name) + ": " + text;
    return {};
}

// An empty path would silently mean something else: the default program, the root folder.
std::string set_path(std::string &slot, const char *option, const char *text)
{
    if (*text == '\0')
        return std::string(option) + " needs a value that is not empty";
    slot = text;
    return {};
}

// A wildcard would make the broker refuse the publication, an outer slash an empty level.
std::string set_topic(std::string &slot, const char *option, const char *text)
{
    const std::string_view topic = text;
    if (topic.empty() || topic.find_first_of("+#") != std::string_view::npos || topic.front() == '/' ||
        topic.back() == '/')
        return std::string(option) + " needs a topic without +, # or a / at either end: " + text;
    slot = text;
    return {};
}

std::string set_mqtt_option(Options &o, int c, const char *text)
{
    switch (c) {
    case host_option:
        return set_path(o.mqtt_host, "--host", text);
    case port_option: {
        const auto port = parse_count(text, 1, largest_port);
        if (!port)
            return std::string("--port needs a port number from 1 to 65535: ") + text;
        o.mqtt_port = *port;
        return {};
    }
    case cafile_option:
        return set_path(o.mqtt_cafile, "--cafile", text);
    case credentials_option:
        return set_path(o.mqtt_credentials, "--credentials", text);
    case prefix_option:
        return set_topic(o.mqtt_prefix, "--prefix", text);
    case discovery_prefix_option:
        return set_topic(o.mqtt_discovery_prefix, "--discovery-prefix", text);
    case remove_option:
        o.mqtt_remove = true;
        return {};
    default: {
        const auto seconds = parse_count(text, 1, longest_timeout_s);
        if (!seconds)
            return std::string("--expire-after needs a whole number of seconds above 0: ") + text;
        o.mqtt_expire_after_s = *seconds;
        return {};
    }
    }
}

// Stored as snmpd writes OIDs, so that the answers match its requests.
std::string set_base_oid(Options &o, const char *text)
{
    const auto oid = parse_oid(text);
    if (!oid)
        return std::string("--base-oid needs a numeric OID such as .1.3.6.1.4.1.8072.9999.9999.1: ") + text;
    o.base_oid = oid_text(*oid);
    return {};
}

std::string set_cache(Options &o, const char *text)
{
    const auto seconds = parse_count(text, 0, longest_cache_s);
    if (!seconds)
        return "--cache needs a whole number of seconds from 0 to " + std::to_string(longest_cache_s) + ": " + text;
    o.cache_s = *seconds;
    return {};
}

Options defaults_from_environment(Command command)
{
    Options o;
    o.command = command;
    o.program = env_or("WEX_Q40_TEST", "");
    o.lock_file = env_or("WEX_Q40_LOCK", o.lock_file);
    if (command == Command::textfile || command == Command::diagnose)
        o.textfile_dir = env_or("WEX_Q40_TEXTFILE_DIR", o.textfile_dir);
    if (command == Command::textfile)
        o.timeout_s = textfile_timeout_s;
    if (command == Command::snmp)
        o.timeout_s = snmp_timeout_s;
    // Its trial reading is about the module now.
    if (command == Command::diagnose)
        o.max_age_s = 0;
    return o;
}

// Empty when the option and its value are taken.
std::string take_option(Options &o, int c, const char *value, const char *given)
{
    switch (c) {
    case 't': {
        const auto seconds = parse_count(value, 1, longest_timeout_s);
        if (!seconds)
            return std::string("-t needs a whole number of seconds above 0: ") + value;
        o.timeout_s = *seconds;
        return {};
    }
    case 'r': {
        const auto count = parse_count(value, 0, most_retries);
        if (!count)
            return "-r needs a whole number from 0 to " + std::to_string(most_retries) + ": " + value;
        o.retries = *count;
        return {};
    }
    case max_age_option: {
        const auto seconds = parse_count(value, 0, longest_max_age_s);
        if (!seconds)
            return "--max-age needs a whole number of seconds from 0 to " + std::to_string(longest_max_age_s) + ": " +
                   value;
        o.max_age_s = *seconds;
        return {};
    }
    case 'b':
        return set_path(o.program, "-b", value);
    case 'l':
        return set_path(o.lock_file, "-l", value);
    case 'd':
        return set_path(o.textfile_dir, "-d", value);
    case 'h':
        o.help = true;
        return {};
    case 'v':
        o.verbosity = std::min(o.verbosity + 1, most_verbosity);
        return {};
    case 'V':
        o.version = true;
        return {};
    case base_oid_option:
        return set_base_oid(o, value);
    case cache_option:
        return set_cache(o, value);
    case ':':
        return std::string("option needs a value: ") + given;
    default:
        if (c >= host_option && c <= remove_option)
            return set_mqtt_option(o, c, value);
        if (const ThresholdOption *t = threshold_option(c))
            return set_threshold(o, *t, value);
        return std::string("unknown option: ") + given;
    }
}

// The variable stands in for -t only, so it matters only when a reading is taken without one.
std::string timeout_from_environment(Options &o)
{
    const char *text = std::getenv("WEX_Q40_TIMEOUT");
    if (text == nullptr || *text == '\0')
        return {};
    const auto seconds = parse_count(text, 1, longest_timeout_s);
    if (!seconds)
        return std::string("WEX_Q40_TIMEOUT needs a whole number of seconds above 0: ") + text;
    o.timeout_s = *seconds;
    return {};
}

}  // namespace

// A bare name would be looked up in the current folder, where anyone may have put a program of that name.
std::string program_next_to_self(std::string &error)
{
    std::array<char, 4096> path{};
    const ssize_t n = readlink("/proc/self/exe", path.data(), path.size() - 1);
    if (n <= 0 || path[0] != '/') {
        error = std::string("cannot find wex_q40_test beside wex-q40: /proc/self/exe cannot be read (") +
                std::strerror(n < 0 ? errno : ENOENT) + "); give the program with -b";
        return {};
    }
    std::string self(path.data(), static_cast<std::size_t>(n));
    return self.substr(0, self.rfind('/') + 1) + "wex_q40_test";
}

OptionTable option_table(Command command)
{
    const Subcommand &s = subcommand(command);
    OptionTable table;
    table.letters = "+:t:r:b:l:hV";
    table.longs = {
        {"timeout", required_argument, nullptr, 't'}, {"retries", required_argument, nullptr, 'r'},
        {"program", required_argument, nullptr, 'b'}, {"lock", required_argument, nullptr, 'l'},
        {"help", no_argument, nullptr, 'h'},          {"version", no_argument, nullptr, 'V'},
        {"max-age", required_argument, nullptr, max_age_option},
    };
    table.letters += s.letters;
    if (std::strchr(s.letters, 'w') != nullptr)
        for (std::size_t i = 0; i < std::size(threshold_options); ++i)
            table.longs.push_back({threshold_options[i].name, required_argument, nullptr, threshold_id(i)});
    if (std::strchr(s.letters, 'd') != nullptr)
        table.longs.push_back({"directory", required_argument, nullptr, 'd'});
    if (std::strchr(s.letters, 'v') != nullptr)
        table.longs.push_back({"verbose", no_argument, nullptr, 'v'});
    if (s.command == Command::snmp) {
        table.longs.push_back({"base-oid", required_argument, nullptr, base_oid_option});
        table.longs.push_back({"cache", required_argument, nullptr, cache_option});
    }
    if (s.command == Command::mqtt)
        table.longs.insert(table.longs.end(), mqtt_options.begin(), mqtt_options.end());
    table.longs.push_back({nullptr, 0, nullptr, 0});
    return table;
}

ParsedOptions parse_options(Command command, int argc, char **argv)
{
    ParsedOptions parsed{defaults_from_environment(command), {}};
    Options &o = parsed.options;
    const OptionTable table = option_table(command);
    bool timeout_given = false;
    opterr = 0;
    optind = 1;
    for (int c; parsed.error.empty() &&
                (c = getopt_long(argc, argv, table.letters.c_str(), table.longs.data(), nullptr)) != -1;) {
        parsed.error = take_option(o, c, optarg, argv[optind - 1]);
        timeout_given = timeout_given || c == 't';
    }
    if (parsed.error.empty() && optind < argc)
        parsed.error = std::string("unexpected argument: ") + argv[optind];
    if (parsed.error.empty() && command == Command::textfile && !timeout_given && !o.help && !o.version)
        parsed.error = timeout_from_environment(o);
    if (parsed.error.empty() && o.program.empty() && !o.help && !o.version)
        o.program = program_next_to_self(parsed.error);
    return parsed;
}

}  // namespace wex_q40
