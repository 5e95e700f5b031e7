#include "options.h"

#include <getopt.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <vector>

namespace {

constexpr unsigned longest_timeout_s = 86400;
constexpr unsigned most_retries = 10;
constexpr unsigned textfile_timeout_s = 30;

struct CommandName {
    const char *name;
    Command command;
};
constexpr CommandName command_names[] = {
    {"check", Command::check},
    {"json", Command::json},
    {"influx", Command::influx},
    {"textfile", Command::textfile},
};

enum LongOnly : int {
    humidity_warning = 256,
    humidity_critical,
    dewpoint_warning,
    dewpoint_critical,
};

// Whole numbers only, as the time-out of the textfile hook always was.
std::optional<unsigned> parse_count(std::string_view text, unsigned least, unsigned most)
{
    if (text.empty() || text.size() > 6)
        return std::nullopt;
    unsigned value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value < least || value > most)
        return std::nullopt;
    return value;
}

std::string env_or(const char *name, const std::string &fallback)
{
    const char *value = std::getenv(name);
    return value != nullptr && *value != '\0' ? std::string(value) : fallback;
}

struct ThresholdOption {
    const char *name;
    Quantity quantity;
    int id;
    bool critical;
};
constexpr ThresholdOption threshold_options[] = {
    {"-w", temperature, 'w', false},
    {"-c", temperature, 'c', true},
    {"--humidity-warning", humidity, humidity_warning, false},
    {"--humidity-critical", humidity, humidity_critical, true},
    {"--dewpoint-warning", dewpoint, dewpoint_warning, false},
    {"--dewpoint-critical", dewpoint, dewpoint_critical, true},
};

const ThresholdOption *threshold_option(int c)
{
    for (const ThresholdOption &t : threshold_options)
        if (t.id == c)
            return &t;
    return nullptr;
}

// Empty when the range parses.
std::string set_threshold(Options &o, const ThresholdOption &t, const char *text)
{
    Thresholds &slots = o.thresholds[t.quantity];
    std::optional<Range> &slot = t.critical ? slots.critical : slots.warning;
    slot = parse_range(text);
    if (!slot)
        return std::string("not a range (or start above end) for ") + t.name + ": " + text;
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

}  // namespace

std::optional<Command> command_named(std::string_view name)
{
    for (const CommandName &c : command_names)
        if (name == c.name)
            return c.command;
    return std::nullopt;
}

const char *command_name(Command command)
{
    for (const CommandName &c : command_names)
        if (c.command == command)
            return c.name;
    return "?";
}

std::string program_next_to_self()
{
    std::array<char, 4096> path{};
    const ssize_t n = readlink("/proc/self/exe", path.data(), path.size() - 1);
    if (n <= 0)
        return "wex_q40_test";
    std::string self(path.data(), static_cast<std::size_t>(n));
    return self.substr(0, self.rfind('/') + 1) + "wex_q40_test";
}

ParsedOptions parse_options(Command command, int argc, char **argv)
{
    ParsedOptions parsed;
    Options &o = parsed.options;
    o.command = command;
    o.program = env_or("WEX_Q40_TEST", "");
    o.lock_file = env_or("WEX_Q40_LOCK", o.lock_file);
    if (command == Command::textfile) {
        o.textfile_dir = env_or("WEX_Q40_TEXTFILE_DIR", o.textfile_dir);
        o.timeout_s = textfile_timeout_s;
    }

    std::string shorts = "+:t:r:b:l:hV";
    std::vector<option> longs = {
        {"timeout", required_argument, nullptr, 't'}, {"retries", required_argument, nullptr, 'r'},
        {"program", required_argument, nullptr, 'b'}, {"lock", required_argument, nullptr, 'l'},
        {"help", no_argument, nullptr, 'h'},          {"version", no_argument, nullptr, 'V'},
    };
    if (command == Command::check) {
        shorts += "w:c:";
        longs.insert(longs.end(), {
            {"warning", required_argument, nullptr, 'w'},
            {"critical", required_argument, nullptr, 'c'},
            {"humidity-warning", required_argument, nullptr, humidity_warning},
            {"humidity-critical", required_argument, nullptr, humidity_critical},
            {"dewpoint-warning", required_argument, nullptr, dewpoint_warning},
            {"dewpoint-critical", required_argument, nullptr, dewpoint_critical},
        });
    }
    if (command == Command::textfile) {
        shorts += "d:";
        longs.push_back({"directory", required_argument, nullptr, 'd'});
    }
    longs.push_back({nullptr, 0, nullptr, 0});

    bool timeout_given = false;
    opterr = 0;
    optind = 1;
    int index = 0;
    for (int c; parsed.error.empty() && (c = getopt_long(argc, argv, shorts.c_str(), longs.data(), &index)) != -1;
         index = 0) {
        switch (c) {
        case 't': {
            const auto value = parse_count(optarg, 1, longest_timeout_s);
            if (!value)
                parsed.error = std::string("-t needs a whole number of seconds above 0: ") + optarg;
            else
                o.timeout_s = *value;
            timeout_given = true;
            break;
        }
        case 'r': {
            const auto value = parse_count(optarg, 0, most_retries);
            if (!value)
                parsed.error = "-r needs a whole number from 0 to " + std::to_string(most_retries) + ": " + optarg;
            else
                o.retries = *value;
            break;
        }
        case 'b':
            parsed.error = set_path(o.program, "-b", optarg);
            break;
        case 'l':
            parsed.error = set_path(o.lock_file, "-l", optarg);
            break;
        case 'd':
            parsed.error = set_path(o.textfile_dir, "-d", optarg);
            break;
        case 'h':
            o.help = true;
            break;
        case 'V':
            o.version = true;
            break;
        case ':':
            parsed.error = std::string("option needs a value: ") + argv[optind - 1];
            break;
        default:
            if (const ThresholdOption *t = threshold_option(c))
                parsed.error = set_threshold(o, *t, optarg);
            else
                parsed.error = std::string("unknown option: ") + argv[optind - 1];
            break;
        }
    }
    if (parsed.error.empty() && optind < argc)
        parsed.error = std::string("unexpected argument: ") + argv[optind];
    // The variable stands in for -t only, so it matters only when a reading is taken without one.
    const char *timeout_variable = std::getenv("WEX_Q40_TIMEOUT");
    if (parsed.error.empty() && command == Command::textfile && !timeout_given && !o.help && !o.version &&
        timeout_variable != nullptr && *timeout_variable != '\0') {
        const auto value = parse_count(timeout_variable, 1, longest_timeout_s);
        if (!value)
            parsed.error = std::string("WEX_Q40_TIMEOUT needs a whole number of seconds above 0: ") + timeout_variable;
        else
            o.timeout_s = *value;
    }
    if (o.program.empty())
        o.program = program_next_to_self();
    return parsed;
}
