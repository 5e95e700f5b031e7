// One reading under the reader lock, retried within the time limit.
#ifndef WEX_Q40_ACQUIRE_H
#define WEX_Q40_ACQUIRE_H

#include <chrono>
#include <string>
#include <vector>

#include "child.h"
#include "options.h"
#include "reading.h"

namespace wex_q40 {

// What a good reading that left the module unclosed says, beside its values.
constexpr const char *unclosed_warning = "module not closed: wex_close failed!";

struct Reading {
    bool good = false;
    Values values;
    std::string problem;             // one short line: what happened
    std::string advice;              // what to do about it, where that is known
    bool permanent = false;          // a failure that taking the reading again cannot mend
    bool unclosed = false;           // good, but the module could not be closed after it
    std::vector<std::string> lines;  // the program's output and what happened; for a warning, the program's line
    std::vector<std::string> report;  // a good reading's lines as the program printed them
    unsigned attempts = 0;            // the program's runs, retries included
    double seconds = 0;               // the whole reading, waiting for the lock included
    std::chrono::system_clock::time_point taken;  // when the module was read
    bool shared = false;                          // another reader's reading, left beside the lock
    double age_s = 0;                             // a shared reading's age when it was taken up
};

Reading take_reading(const Options &options, Clock::time_point deadline);

}  // namespace wex_q40

#endif
