// Which libftd2xx.so a reading would load, found in a process of its own.
#ifndef WEX_Q40_LIBRARY_PROBE_H
#define WEX_Q40_LIBRARY_PROBE_H

#include <string>

#include "child.h"

namespace wex_q40 {

// The name wex-q40 is run under, as argv[0], to be the probe.
constexpr const char *library_probe_name = "wex-q40-library-probe";

struct LibraryFound {
    enum class Kind { library, unusable, none, unknown };
    Kind kind = Kind::unknown;
    std::string path;  // library, unusable: the file loaded
    std::string why;   // unusable: what it lacks; none: why nothing loaded; unknown: why the probe told nothing
};

// In the probe: the driver's search, one line on standard output; 0.
int run_library_probe();

// Runs the probe with the environment a reading gets, within the deadline.
LibraryFound probe_library(Clock::time_point deadline);

}  // namespace wex_q40

#endif
