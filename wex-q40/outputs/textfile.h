// The node exporter's textfile collector: FOLDER/wex_q40.prom.
#ifndef WEX_Q40_TEXTFILE_H
#define WEX_Q40_TEXTFILE_H

#include <optional>
#include <string>

#include "acquire.h"

namespace wex_q40 {

// The first well-formed wex_q40_last_success_timestamp_seconds sample of an old file.
std::optional<std::string> previous_success(const std::string &old_file);

// The metrics for one reading; last_success is left out when empty.
std::string textfile_metrics(const Reading &reading, const std::optional<std::string> &last_success);

}  // namespace wex_q40

#endif
