// The command line and environment of wex-q40: one subcommand, its options.
#ifndef COMPANION_OPTIONS_H
#define COMPANION_OPTIONS_H

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "range.h"

enum class Command { check, json, influx, textfile };

enum Quantity : std::size_t { temperature, humidity, dewpoint, quantities };

struct Thresholds {
    std::optional<Range> warning;
    std::optional<Range> critical;
};

struct Options {
    Command command = Command::json;
    std::string program;  // the reading program
    std::string lock_file = "/run/wex-q40/wex-q40.lock";
    std::string textfile_dir = "/var/lib/prometheus/node-exporter";
    unsigned timeout_s = 10;
    // A reading killed part-way can leave the sensor mid-frame for the next two readings.
    unsigned retries = 2;
    std::array<Thresholds, quantities> thresholds;
    bool help = false;
    bool version = false;
};

struct ParsedOptions {
    Options options;
    std::string error;  // not empty: a usage error
};

std::optional<Command> command_named(std::string_view name);
const char *command_name(Command command);

// argv[0] is the subcommand's name; the environment supplies the defaults.
ParsedOptions parse_options(Command command, int argc, char **argv);

std::string usage(Command command);
std::string general_usage();

// wex_q40_test in the folder of the running executable.
std::string program_next_to_self();

#endif
