// VWEX_REPORT: the module's counters as NAME=value lines, written when the library unloads.
#ifndef VMODULE_REPORT_H
#define VMODULE_REPORT_H

#include <string>

#include "vwex.h"

namespace vmodule {

// Says why on standard error when the file cannot be written.
void write_report(const std::string &path, const ModuleCounters &counters);

}  // namespace vmodule

#endif
