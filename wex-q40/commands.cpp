#include "commands.h"

#include <cstdio>
#include <tuple>
#include <type_traits>

#include "options.h"

namespace wex_q40 {

namespace {

constexpr int unknown_status = 3;
// The family's sensors should be active at most a tenth of the time: at their longest, 0.4 s of measuring
// (320 + 80 ms) in 4 s.
constexpr const char *shared_max_age = "4";
// Three attempts of the slowest reading (1.6 s each) with two 0.5 s pauses, behind another reader's 1.6 s
// reading in the lock, and at most 0.6 s of grace and reserves: 8 s, within 10.
constexpr const char *check_timeout = "10";
// Its trial reading is about the module now.
constexpr const char *diagnose_max_age = "0";
constexpr const char *whole_command = "the whole command ends within this limit";
constexpr const char *reading_statuses = "Exit status: 0 for a reading, 1 for a failed reading, 2 for bad arguments.\n";
constexpr std::size_t help_width = 80;
constexpr std::size_t continued = 15;  // the indent of a help line's continuation
constexpr std::size_t synopsis_indent = 9;

// The rows of the struct that member picks out of Options, seen through OwnRows.
template <const auto &rows, auto member>
constexpr OwnRows own_rows()
{
    return {std::tuple_size<std::remove_reference_t<decltype(rows)>>::value,
            [](std::size_t i) -> const OptionText & { return rows[i].text; },
            [](Options &o, std::size_t i, const char *value, const std::string &named) {
                return rows[i].set(o.*member, value, named);
            }};
}

int check(const Options &o, const Budget &b) { return run_check(o.common.reading, o.check, b); }
int json(const Options &o, const Budget &b) { return run_json(o.common.reading, b); }
int influx(const Options &o, const Budget &b) { return run_influx(o.common.reading, b); }
int textfile(const Options &o, const Budget &b) { return run_textfile(o.common.reading, o.textfile, b); }
int snmp(const Options &o, const Budget &b) { return run_snmp(o.common.reading, o.snmp, b); }
int mqtt(const Options &o, const Budget &b) { return run_mqtt(o.common.reading, o.mqtt, b); }
int diagnose(const Options &o, const Budget &b) { return run_diagnose(o.common.reading, o.diagnose, b); }
int munin(const Options &o, const Budget &b) { return run_munin(o.common.reading, o.common.word, b); }
int collectd(const Options &o, const Budget &b) { return run_collectd(o.common.reading, b); }

const std::array<Subcommand, command_count> table{{
    {Command::check, "check", "check_wex_q40", "A monitoring plugin: one WEX-Q40 reading against thresholds.", check_timeout,
     whole_command, nullptr, shared_max_age,
     "Exit status: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN (failed reading, time-out, bad arguments).\n",
     unknown_status, unknown_status, unknown_status, UsageErrors::plugin_output, nullptr,
     own_rows<check_rows, &Options::check>(), check},
    {Command::json, "json", "wex-q40 json", "Prints one reading as a JSON object on one line.", "10", whole_command,
     nullptr, shared_max_age, reading_statuses, exit_status::bad_usage, exit_status::failed_reading,
     exit_status::good, UsageErrors::json_and_standard_error, nullptr, {}, json},
    {Command::influx, "influx", "wex-q40 influx", "Prints one reading in InfluxDB line protocol.", "10",
     whole_command, nullptr, shared_max_age, reading_statuses, exit_status::bad_usage, exit_status::failed_reading,
     exit_status::good, UsageErrors::standard_error, nullptr, {}, influx},
    {Command::textfile, "textfile", "wex-q40 textfile",
     "Writes FOLDER/wex_q40.prom for the node exporter's textfile collector, atomically.", "30", whole_command,
     "WEX_Q40_TIMEOUT", shared_max_age,
     "Exit status: 0 for a good reading, 1 for a failed reading (the file is still\n"
     "written, with wex_q40_read_success 0), 2 when the file cannot be written or for bad arguments.\n",
     exit_status::bad_usage, exit_status::unwritten, exit_status::good, UsageErrors::standard_error, nullptr,
     own_rows<textfile_rows, &Options::textfile>(), textfile},
    // net-snmp's clients wait 1 s for an answer (6 s with their 5 retries), and answers come from memory well within
    // it, so -t need not fit in it: 5 s holds the default three attempts (3 x 1.2 s) and their pauses (2 x 0.5 s);
    // --cache 5 keeps the sensor to a tenth of the time active (0.4 s in 5 s) and a served value at most 10 s old.
    {Command::snmp, "snmp", "wex-q40 snmp",
     "Serves readings to snmpd through its pass_persist protocol on standard input and output.", "5",
     "each reading ends within this limit", nullptr, shared_max_age,
     "Exit status: 0 at the end of input, 2 for bad arguments or an unwritable output.\n", exit_status::bad_usage,
     exit_status::unwritten, exit_status::good, UsageErrors::standard_error, nullptr, own_rows<snmp_rows, &Options::snmp>(),
     snmp},
    {Command::mqtt, "mqtt", "wex-q40 mqtt",
     "Publishes one reading, retained, to an MQTT broker, with Home Assistant discovery.", "10", whole_command,
     nullptr, shared_max_age,
     "Exit status: 0 for a reading published (with --remove: the device cleared),\n"
     "1 for a failed reading (its error published), 2 when the broker refused a\n"
     "message (the line names what it refused and what was left retained), when\n"
     "nothing could be published, or for bad arguments.\n",
     exit_status::bad_usage, exit_status::unwritten, exit_status::good, UsageErrors::standard_error, nullptr,
     own_rows<mqtt_rows, &Options::mqtt>(), mqtt},
    {Command::diagnose, "diagnose", "wex-q40 diagnose",
     "Checks what a reading needs, one line each with what fixes a problem, then takes one reading.", "10",
     whole_command, nullptr, diagnose_max_age,
     "Exit status: 0 when every check passes, 1 otherwise, 2 for bad arguments.\n", exit_status::bad_usage,
     exit_status::failed_reading, exit_status::good, UsageErrors::standard_error, nullptr,
     own_rows<diagnose_rows, &Options::diagnose>(), diagnose},
    {Command::munin, "munin", "wex-q40 munin",
     "A Munin plugin, also as wex_q40: config, autoconf, or the values of one reading.", "10", whole_command, nullptr,
     shared_max_age,
     "Exit status: 0, with U for the values of a failed reading and why on standard error;\n"
     "2 for bad arguments.\n",
     exit_status::bad_usage, exit_status::unwritten, exit_status::good, UsageErrors::standard_error,
     "config|autoconf", {}, munin},
    {Command::collectd, "collectd", "wex-q40 collectd",
     "Prints one reading as collectd's exec plugin takes it, PUTVAL lines, and ends.", "10", whole_command, nullptr,
     shared_max_age, reading_statuses, exit_status::bad_usage, exit_status::failed_reading, exit_status::good,
     UsageErrors::standard_error, nullptr, {}, collectd},
}};

// Words joined by spaces, broken before width into lines that start with indent.
std::string wrapped(const std::string &text, std::size_t indent)
{
    std::string out;
    std::size_t line_start = 0;
    std::size_t last_space = std::string::npos;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == ' ')
            last_space = out.size();
        out += text[i];
        if (out.size() - line_start >= help_width && last_space != std::string::npos && last_space > line_start) {
            out.replace(last_space, 1, "\n" + std::string(indent, ' '));
            line_start = last_space + 1;
            last_space = std::string::npos;
        }
    }
    return out + "\n";
}

std::string option_words(const OptionText &t)
{
    std::string words = t.letter != 0 ? std::string("-") + t.letter + ", " : "";
    words += std::string("--") + t.name;
    return t.argument != nullptr ? words + " " + t.argument : words;
}

// Flags that end the command rather than shape it (-h, -V) are left out; no option is broken across lines.
std::string synopsis(const Subcommand &s)
{
    std::string text = std::string("Usage: ") + s.usage_name;
    std::size_t line_start = 0;
    for (const OptionText &t : option_texts(s)) {
        if (t.letter == 'h' || t.letter == 'V')
            continue;
        const std::string name = t.letter != 0 ? std::string("-") + t.letter : std::string("--") + t.name;
        const std::string item = "[" + name + (t.argument != nullptr ? std::string(" ") + t.argument : "") + "]" +
                                 (t.repeated ? "..." : "");
        if (text.size() - line_start + 1 + item.size() > help_width) {
            line_start = text.size() + 1;
            text += "\n" + std::string(synopsis_indent - 1, ' ');
        }
        text += " " + item;
    }
    if (s.words != nullptr)
        text += std::string(" [") + s.words + "]";
    return text + "\n";
}

std::string option_help(const OptionText &t)
{
    std::string text = "  " + option_words(t) + "  " + t.help;
    if (t.fallback != nullptr || t.variable != nullptr) {
        text += " (";
        if (t.fallback != nullptr)
            text += std::string("default: ") + t.fallback + (t.variable != nullptr ? "; " : "");
        if (t.variable != nullptr)
            text += std::string("variable ") + t.variable;
        text += ")";
    }
    return wrapped(text, continued);
}

}  // namespace

const Subcommand &subcommand(Command command)
{
    return table[static_cast<std::size_t>(command)];
}

const std::array<Subcommand, command_count> &subcommands()
{
    return table;
}

const Subcommand *subcommand_named(std::string_view name)
{
    for (const Subcommand &s : table)
        if (name == s.name)
            return &s;
    return nullptr;
}

std::string usage(const Subcommand &s)
{
    std::string text = synopsis(s) + s.summary + "\n";
    for (const OptionText &t : option_texts(s))
        text += option_help(t);
    return text + s.exit_statuses + "See wex-q40-" + s.name + "(1).\n";
}

std::string general_usage()
{
    std::string names;
    for (const Subcommand &s : table)
        names += (names.empty() ? "" : "|") + std::string(s.name);
    const std::string synopsis = "Usage: wex-q40 " + names + " [OPTIONS]\n";
    return synopsis +
           "       wex-q40 help [COMMAND]\n"
           "Takes one WEX-Q40 reading with wex_q40_test and renders it for a monitoring system.\n"
           "wex-q40 help COMMAND, like wex-q40 COMMAND -h, describes the options of each.\n"
           "See wex-q40(1), and wex-q40-COMMAND(1) for each command.\n";
}

int report_usage_error(const Subcommand &s, const std::string &error, const std::string &invoked)
{
    switch (s.usage_errors) {
    case UsageErrors::plugin_output:
        // One line for the notification, and where to read more; the whole help would drown it.
        std::printf("WEX-Q40 UNKNOWN - %s\nSee '%s --help' for the options.\n", error.c_str(), invoked.c_str());
        break;
    case UsageErrors::json_and_standard_error:
        print_json_error(error);
        std::fprintf(stderr, "wex-q40 %s: %s\n%s", s.name, error.c_str(), usage(s).c_str());
        break;
    case UsageErrors::standard_error:
        std::fprintf(stderr, "wex-q40 %s: %s\n%s", s.name, error.c_str(), usage(s).c_str());
        break;
    }
    return s.usage_status;
}

int report_configuration_error(const Subcommand &s, const std::string &error)
{
    switch (s.usage_errors) {
    case UsageErrors::plugin_output:
        std::printf("WEX-Q40 UNKNOWN - %s\n", error.c_str());
        break;
    case UsageErrors::json_and_standard_error:
        print_json_error(error);
        std::fprintf(stderr, "wex-q40 %s: %s\n", s.name, error.c_str());
        break;
    case UsageErrors::standard_error:
        std::fprintf(stderr, "wex-q40 %s: %s\n", s.name, error.c_str());
        break;
    }
    return s.usage_status;
}

}  // namespace wex_q40
