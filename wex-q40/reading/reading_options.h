// What taking a reading needs from the command line, whatever the subcommand.
#ifndef WEX_Q40_READING_OPTIONS_H
#define WEX_Q40_READING_OPTIONS_H

#include <string>

#include "calibration.h"

namespace wex_q40 {

struct ReadingOptions {
    std::string program;    // the reading program
    std::string lock_file;  // keeps readers apart; the shared reading lies beside it
    unsigned retries = 0;
    unsigned max_age_s = 0;  // 0: always read the module
    std::string calibration_path;  // empty: the default file, when it exists
    CalibrationFile calibration;   // loaded before any reading is taken
    bool by_diagnose = false;  // advice then never sends the reader to diagnose itself
    // A failure another reader left is taken as this reading: only snmp, whose next reading comes by itself.
    bool takes_shared_failures = false;
};

}  // namespace wex_q40

#endif
