// The command line and environment of wex-q40: one subcommand, its options.
#ifndef WEX_Q40_OPTIONS_H
#define WEX_Q40_OPTIONS_H

#include <array>
#include <optional>
#include <string>

#include "range.h"

namespace wex_q40 {

enum class Command { check, json, influx, textfile, diagnose };

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
    std::array<AlertRanges, quantities> alert_ranges;
    unsigned verbosity = 0;  // -v: more in the check's long output
    bool help = false;
    bool version = false;
};

struct ParsedOptions {
    Options options;
    std::string error;  // not empty: a usage error
};

// argv[0] is the subcommand's name; the environment supplies the defaults.
ParsedOptions parse_options(Command command, int argc, char **argv);

// wex_q40_test in the folder of the running executable.
std::string program_next_to_self();

}  // namespace wex_q40

#endif
