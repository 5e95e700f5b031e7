// Every subcommand's facts in one table: its name, what it does, its statuses, its own options' rows
// and the run that renders its readings.
#ifndef WEX_Q40_COMMANDS_H
#define WEX_Q40_COMMANDS_H

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "budget.h"
#include "option_row.h"

namespace wex_q40 {

struct Options;

enum class Command { check, json, influx, textfile, snmp, mqtt, diagnose, munin, collectd };
constexpr std::size_t command_count = static_cast<std::size_t>(Command::collectd) + 1;

// What wex-q40 takes before a subcommand: "help [COMMAND]" and these options.
constexpr std::string_view help_command = "help";
constexpr std::array<std::string_view, 2> help_options{"-h", "--help"};
constexpr std::array<std::string_view, 2> version_options{"-V", "--version"};

// Where a subcommand's consumer looks for a usage error.
enum class UsageErrors { plugin_output, json_and_standard_error, standard_error };

// A subcommand's own rows, whatever struct of Options they set.
struct OwnRows {
    std::size_t count = 0;
    const OptionText &(*text)(std::size_t row) = nullptr;
    std::string (*set)(Options &options, std::size_t row, const char *value, const std::string &named) = nullptr;
};

struct Subcommand {
    Command command;
    const char *name;
    const char *usage_name;        // as the help's usage line names it
    const char *summary;           // what it does
    const char *timeout;           // -t's default
    const char *timeout_help;      // what -t limits
    const char *timeout_variable;  // standing in for -t; nullptr: none
    const char *max_age;           // --max-age's default
    const char *exit_statuses;     // the help's last lines
    int usage_status;              // bad options or arguments
    int unwritten_status;          // output that could not be written
    int help_status;               // after -h and -V
    UsageErrors usage_errors;
    const char *words;  // the one argument it may take, "a|b"; nullptr: none
    OwnRows own;
    int (*run)(const Options &options, const Budget &budget);
};

const Subcommand &subcommand(Command command);
// Every subcommand, in the order of Command.
const std::array<Subcommand, command_count> &subcommands();
const Subcommand *subcommand_named(std::string_view name);

std::string usage(const Subcommand &subcommand);
std::string general_usage();

// In the consumer's own way, naming the command as invoked ("check_wex_q40" or
// "wex-q40 check"); returns the subcommand's usage status.
int report_usage_error(const Subcommand &subcommand, const std::string &error, const std::string &invoked);

// A configuration file at fault: its one line, without the help, and the usage status.
int report_configuration_error(const Subcommand &subcommand, const std::string &error);

}  // namespace wex_q40

#endif
