// One reading under the reader lock, retried within the time limit.
#ifndef WEX_Q40_ACQUIRE_H
#define WEX_Q40_ACQUIRE_H

#include <chrono>
#include <string>
#include <vector>

#include "budget.h"
#include "calibration.h"
#include "reading.h"
#include "reading_options.h"

namespace wex_q40 {

// What a good reading that left the module unclosed says, beside its values.
constexpr const char *unclosed_warning = "module not closed: wex_close failed!";

// What went wrong with a reading, told once for every consumer.
struct Failure {
    std::string summary;             // one short line: what happened
    std::string advice;              // what to do about it, where that is known
    bool permanent = false;          // taking the reading again cannot mend it
    bool unplugged = false;          // the module left the bus during the reading
    std::vector<std::string> lines;  // the program's output and what happened, retries included
};

struct Reading {
    bool good = false;
    Values values;                    // calibrated, when a calibration changes them
    Values program_values;            // as the program printed them, settled
    Calibration calibration;          // in force for the module read
    std::vector<std::string> report;  // a good reading's lines as the program printed them
    bool unclosed = false;            // good, but the module could not be closed after it
    Failure failure;                  // of a reading that is not good
    unsigned attempts = 0;            // the program's runs, retries included
    double seconds = 0;               // the whole reading, waiting for the lock included
    std::chrono::system_clock::time_point taken;  // when the module was read
    bool shared = false;                          // another reader's reading, left beside the lock
    double age_s = 0;                             // a shared reading's age when it was taken up
};

// The program's values are judged and shared as it printed them; each reader then applies its own calibration.
Reading take_reading(const ReadingOptions &options, const Budget &budget);

}  // namespace wex_q40

#endif
