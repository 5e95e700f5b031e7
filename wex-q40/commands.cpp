#include "commands.h"

#include <array>
#include <cstdio>

#include "outputs.h"

namespace wex_q40 {

namespace {

constexpr int unknown_status = 3;

constexpr std::array<Subcommand, command_count> table{{
    {Command::check, "check", run_check,
     "Usage: check_wex_q40 [-w RANGE] [-c RANGE] [--humidity-warning RANGE] [--humidity-critical RANGE]\n"
     "         [--dewpoint-warning RANGE] [--dewpoint-critical RANGE] [-t SECONDS] [-r N]\n"
     "         [--max-age SECONDS] [-b PROGRAM] [-l FILE] [-v]...\n"
     "A monitoring plugin: one WEX-Q40 reading against thresholds.\n",
     "  -w, --warning RANGE, -c, --critical RANGE\n"
     "               temperature thresholds in degrees Celsius; RANGE is [@]start:end\n"
     "               (10, 10:, ~:10, 10:20, @10:20)\n"
     "  --humidity-warning, --humidity-critical RANGE  relative humidity thresholds in percent\n"
     "  --dewpoint-warning, --dewpoint-critical RANGE  dew point thresholds in degrees Celsius\n"
     "  -v, --verbose  more in the long output: the reading's duration; twice, the program's lines\n",
     "10", "Exit status: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN (failed reading, time-out, bad arguments).\n",
     unknown_status, unknown_status, unknown_status, "w:c:v", UsageErrors::plugin_output},
    {Command::json, "json", run_json,
     "Usage: wex-q40 json [-t SECONDS] [-r N] [--max-age SECONDS] [-b PROGRAM] [-l FILE]\n"
     "Prints one reading as a JSON object on one line.\n",
     "", "10", "Exit status: 0 for a reading, 1 for a failed reading, 2 for bad arguments.\n",
     exit_status::bad_usage, exit_status::failed_reading, exit_status::good, "", UsageErrors::json_and_standard_error},
    {Command::influx, "influx", run_influx,
     "Usage: wex-q40 influx [-t SECONDS] [-r N] [--max-age SECONDS] [-b PROGRAM] [-l FILE]\n"
     "Prints one reading in InfluxDB line protocol.\n",
     "", "10", "Exit status: 0 for a reading, 1 for a failed reading, 2 for bad arguments.\n",
     exit_status::bad_usage, exit_status::failed_reading, exit_status::good, "", UsageErrors::standard_error},
    {Command::textfile, "textfile", run_textfile,
     "Usage: wex-q40 textfile [-d FOLDER] [-t SECONDS] [-r N] [--max-age SECONDS] [-b PROGRAM] [-l FILE]\n"
     "Writes FOLDER/wex_q40.prom for the node exporter's textfile collector, atomically.\n",
     "  -d, --directory FOLDER  the collector's folder (default: /var/lib/prometheus/node-exporter;\n"
     "               variable WEX_Q40_TEXTFILE_DIR)\n",
     "30; variable WEX_Q40_TIMEOUT",
     "Exit status: 0 for a good reading, 1 for a failed reading (the file is still\n"
     "written, with wex_q40_read_success 0), 2 when the file cannot be written or for bad arguments.\n",
     exit_status::bad_usage, exit_status::unwritten, exit_status::good, "d:", UsageErrors::standard_error},
    {Command::snmp, "snmp", run_snmp,
     "Usage: wex-q40 snmp [--base-oid OID] [--cache SECONDS] [-t SECONDS] [-r N] [--max-age SECONDS]\n"
     "         [-b PROGRAM] [-l FILE]\n"
     "Serves readings to snmpd through its pass_persist protocol on standard input and output.\n",
     "  --base-oid OID  the subtree (default: .1.3.6.1.4.1.8072.9999.9999.1)\n"
     "  --cache SECONDS  how long one reading answers requests (default: 5)\n",
     "5; for each reading", "Exit status: 0 at the end of input, 2 for bad arguments or an unwritable output.\n",
     exit_status::bad_usage, exit_status::unwritten, exit_status::good, "", UsageErrors::standard_error},
    {Command::mqtt, "mqtt", run_mqtt,
     "Usage: wex-q40 mqtt [--host HOST] [--port PORT] [--cafile FILE] [--credentials FILE] [--prefix TOPIC]\n"
     "         [--discovery-prefix TOPIC] [--expire-after SECONDS] [--remove] [-t SECONDS] [-r N]\n"
     "         [--max-age SECONDS] [-b PROGRAM] [-l FILE]\n"
     "Publishes one reading, retained, to an MQTT broker, with Home Assistant discovery.\n",
     "  --host HOST  the broker (default: localhost); --port PORT  its port (default: 1883)\n"
     "  --cafile FILE  TLS, the broker's certificate checked against the CA in FILE\n"
     "  --credentials FILE  the user name on the first line of FILE, the password on the second\n"
     "  --prefix TOPIC  the state and error topics' prefix (default: wex-q40/HOSTNAME)\n"
     "  --discovery-prefix TOPIC  Home Assistant's (default: homeassistant)\n"
     "  --expire-after SECONDS  the entities become unavailable without a newer reading (default: 300)\n"
     "  --remove  take no reading; remove the device from Home Assistant and clear the retained messages\n",
     "10", "Exit status: 0 for a reading published, 1 for a failed reading (its error published),\n"
     "2 when nothing could be published or for bad arguments.\n",
     exit_status::bad_usage, exit_status::unwritten, exit_status::good, "", UsageErrors::standard_error},
    {Command::diagnose, "diagnose", run_diagnose,
     "Usage: wex-q40 diagnose [-d FOLDER] [-t SECONDS] [-r N] [--max-age SECONDS] [-b PROGRAM] [-l FILE]\n"
     "Checks what a reading needs, one line each with what fixes a problem, then takes one reading.\n",
     "  -d, --directory FOLDER  the textfile collector's folder to check\n"
     "               (default: /var/lib/prometheus/node-exporter)\n",
     "10", "Exit status: 0 when every check passes, 1 otherwise, 2 for bad arguments.\n", exit_status::bad_usage,
     exit_status::failed_reading, exit_status::good, "d:", UsageErrors::standard_error},
}};

constexpr bool in_command_order()
{
    for (std::size_t i = 0; i < table.size(); ++i)
        if (table[i].command != static_cast<Command>(i))
            return false;
    return true;
}
static_assert(in_command_order(), "the table of subcommands must follow the order of Command");

constexpr const char *common_options =
    "  -r, --retries N  retries of a failed reading (default: 2)\n"
    "  --max-age SECONDS  take another reader's reading up to this old instead of reading the module\n"
    "               (default: 4, diagnose: 0; 0: always read the module)\n"
    "  -b, --program PROGRAM  the reading program (default: wex_q40_test next to wex-q40;\n"
    "               variable WEX_Q40_TEST)\n"
    "  -l, --lock FILE  the lock file that keeps readers apart (default: /run/wex-q40/wex-q40.lock;\n"
    "               variable WEX_Q40_LOCK)\n"
    "  -h, --help   this help; -V, --version: the version\n";

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
    return std::string(s.synopsis) + s.own_options +
           "  -t, --timeout SECONDS  the whole command ends within this limit (default: " + s.default_timeout + ")\n" +
           common_options + s.exit_statuses;
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
           "wex-q40 help COMMAND, like wex-q40 COMMAND -h, describes the options of each.\n";
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

}  // namespace wex_q40
