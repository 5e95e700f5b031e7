// The command line and environment of wex-q40: one subcommand, its options.
#ifndef WEX_Q40_OPTIONS_H
#define WEX_Q40_OPTIONS_H

#include <getopt.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "range.h"

namespace wex_q40 {

enum class Command { check, json, influx, textfile, snmp, mqtt, diagnose };
constexpr std::size_t command_count = static_cast<std::size_t>(Command::diagnose) + 1;

enum Quantity : std::size_t { temperature, humidity, dewpoint, quantities };

// The ranges a check judges one quantity by.
struct AlertRanges {
    std::optional<Range> warning_range;
    std::optional<Range> critical_range;
};

struct Options {
    Command command = Command::json;
    std::string program;  // the reading program
    std::string lock_file = "/run/wex-q40/wex-q40.lock";
    std::string textfile_dir = "/var/lib/prometheus/node-exporter";
    unsigned timeout_s = 10;
    // A reading killed part-way can leave the sensor mid-frame for the next two readings.
    unsigned retries = 2;
    // The family's sensors should be active at most a tenth of the time: 0.4 s of measuring (320 + 80 ms) in 4 s.
    unsigned max_age_s = 4;
    std::array<AlertRanges, quantities> alert_ranges;
    unsigned verbosity = 0;  // -v: more in the check's long output
    std::string base_oid = ".1.3.6.1.4.1.8072.9999.9999.1";  // snmp: net-snmp's subtree for local experiments
    unsigned cache_s = 5;  // snmp: one reading serves a whole walk
    std::string mqtt_host = "localhost";
    unsigned mqtt_port = 1883;
    std::string mqtt_cafile;       // not empty: TLS, the broker checked against this CA
    std::string mqtt_credentials;  // a file, so that the password stays off the command line
    std::string mqtt_prefix;       // empty: wex-q40/<host name>
    std::string mqtt_discovery_prefix = "homeassistant";
    // Five missed readings of the minutely timer make the entities unavailable.
    unsigned mqtt_expire_after_s = 300;
    bool mqtt_remove = false;  // clear what mqtt published instead of taking a reading
    bool help = false;
    bool version = false;
};

struct ParsedOptions {
    Options options;
    std::string error;  // not empty: a usage error
};

// What getopt_long takes for one subcommand, its parser's and its completion's one list:
// the letters, and the long options ending with a row of zeros.
struct OptionTable {
    std::string letters;
    std::vector<option> longs;
};
OptionTable option_table(Command command);

// argv[0] is the subcommand's name; the environment supplies the defaults.
ParsedOptions parse_options(Command command, int argc, char **argv);

// wex_q40_test in the folder of the running executable; empty, and why in error, when that is not known.
std::string program_next_to_self(std::string &error);

}  // namespace wex_q40

#endif
