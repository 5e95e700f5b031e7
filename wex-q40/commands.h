// Every subcommand's facts in one table: its name, renderer, usage, statuses
// and option letters.
#ifndef WEX_Q40_COMMANDS_H
#define WEX_Q40_COMMANDS_H

#include <array>
#include <string>
#include <string_view>

#include "child.h"
#include "options.h"

namespace wex_q40 {

namespace exit_status {
constexpr int good = 0;
constexpr int failed_reading = 1;  // json, influx, textfile
constexpr int unwritten = 2;       // textfile: the file could not be written
constexpr int bad_usage = 2;       // bad options or arguments, of every subcommand but the plugin
}  // namespace exit_status

// What wex-q40 takes before a subcommand: "help [COMMAND]" and these options.
constexpr std::string_view help_command = "help";
constexpr std::array<std::string_view, 2> help_options{"-h", "--help"};
constexpr std::array<std::string_view, 2> version_options{"-V", "--version"};

// Where a subcommand's consumer looks for a usage error.
enum class UsageErrors { plugin_output, json_and_standard_error, standard_error };

struct Subcommand {
    Command command;
    const char *name;
    int (*run)(const Options &options, Clock::time_point deadline);
    const char *synopsis;         // the usage line and what it does
    const char *own_options;      // the help of its own options
    const char *default_timeout;  // as the help shows it
    const char *exit_statuses;    // the help's last lines
    int usage_status;             // bad options or arguments
    int unwritten_status;         // output that could not be written
    int help_status;              // after -h and -V
    const char *letters;          // getopt letters of its own options; "w:" brings the threshold options, "v" --verbose
    UsageErrors usage_errors;
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

}  // namespace wex_q40

#endif
