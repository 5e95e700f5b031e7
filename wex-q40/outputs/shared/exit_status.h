// The exit statuses the subcommands share; each subcommand's table row names its own.
#ifndef WEX_Q40_EXIT_STATUS_H
#define WEX_Q40_EXIT_STATUS_H

namespace wex_q40::exit_status {

constexpr int good = 0;
constexpr int failed_reading = 1;  // json, influx, textfile
constexpr int unwritten = 2;       // textfile: the file could not be written
constexpr int bad_usage = 2;       // bad options or arguments, of every subcommand but the plugin

}  // namespace wex_q40::exit_status

#endif
