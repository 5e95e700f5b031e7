// The textfile collector's folder of Debian's node exporter, which textfile writes to and diagnose checks.
#ifndef WEX_Q40_TEXTFILE_FOLDER_H
#define WEX_Q40_TEXTFILE_FOLDER_H

namespace wex_q40 {

constexpr const char *default_textfile_directory = "/var/lib/prometheus/node-exporter";
constexpr const char *textfile_directory_variable = "WEX_Q40_TEXTFILE_DIR";

}  // namespace wex_q40

#endif
