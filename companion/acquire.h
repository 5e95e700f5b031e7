// One reading under the reader lock, retried within the time limit.
#ifndef COMPANION_ACQUIRE_H
#define COMPANION_ACQUIRE_H

#include <string>
#include <vector>

#include "child.h"
#include "options.h"
#include "reading.h"

struct Reading {
    bool good = false;
    Values values;
    std::string problem;             // one short line
    std::vector<std::string> lines;  // the program's output and what happened
};

Reading take_reading(const Options &options, Clock::time_point deadline);

#endif
