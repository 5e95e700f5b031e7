// The subcommands' renderings: each with its own options, their rows beside its run_*, which takes
// the reading's options, its own and the command's one budget, and returns its exit status.
// snmp, mqtt and diagnose declare theirs in their rooms' headers, included here.
#ifndef WEX_Q40_OUTPUTS_H
#define WEX_Q40_OUTPUTS_H

#include <array>
#include <optional>
#include <string>

#include "acquire.h"
#include "diagnose.h"
#include "exit_status.h"
#include "mqtt.h"
#include "option_row.h"
#include "range.h"
#include "snmp.h"
#include "textfile_folder.h"

namespace wex_q40 {

enum Quantity : std::size_t { temperature, humidity, dewpoint, quantities };

// The ranges a check judges one quantity by.
struct AlertRanges {
    std::optional<Range> warning_range;
    std::optional<Range> critical_range;
};

struct CheckOptions {
    std::array<AlertRanges, quantities> alert_ranges;
    unsigned verbosity = 0;  // -v: more in the long output
};
extern const std::array<OptionRow<CheckOptions>, 7> check_rows;
int run_check(const ReadingOptions &reading, const CheckOptions &options, const Budget &budget);

int run_json(const ReadingOptions &reading, const Budget &budget);
int run_influx(const ReadingOptions &reading, const Budget &budget);
// {"error": ..., "time": ...} on standard output.
void print_json_error(const std::string &error);

struct TextfileOptions {
    std::string directory;  // the node exporter's textfile collector's
};
extern const std::array<OptionRow<TextfileOptions>, 1> textfile_rows;
int run_textfile(const ReadingOptions &reading, const TextfileOptions &options, const Budget &budget);

// Munin's plugin: "config", "autoconf", or the values for an empty word.
int run_munin(const ReadingOptions &reading, const std::string &word, const Budget &budget);
// collectd's exec plugin: PUTVAL lines of one reading.
int run_collectd(const ReadingOptions &reading, const Budget &budget);

}  // namespace wex_q40

#endif
