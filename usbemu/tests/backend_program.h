// The real program as a child, with no folder of a stand-in libftd2xx.so on
// the search path, so that it falls back to the libftdi1 backend.
#ifndef USBEMU_TESTS_BACKEND_PROGRAM_H
#define USBEMU_TESTS_BACKEND_PROGRAM_H

#include <string>
#include <vector>

#include "child_run.h"

// Names left out of the environment the program inherits from the test.
inline const std::vector<std::string> backend_unset = {"LD_LIBRARY_PATH", "LIBUSB_DEBUG"};

inline wex_test::ChildRun run_program(double time_limit_s)
{
    return wex_test::run_child({WEX_PROGRAM}, wex_test::environment_with({}, backend_unset), time_limit_s);
}

#endif
