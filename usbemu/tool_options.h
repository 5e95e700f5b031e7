// wex_usbemu's command line.
#ifndef USBEMU_TOOL_OPTIONS_H
#define USBEMU_TOOL_OPTIONS_H

#include "emulator.h"

namespace usbemu {

extern const char tool_usage[];

// Fills config from the options before "--" and returns the index of PROGRAM
// in argv; throws std::invalid_argument for anything it cannot use.
int parse_tool_options(int argc, char **argv, Config &config);

}  // namespace usbemu

#endif
