#include <gtest/gtest.h>

#include <cstdio>
#include <exception>

#include "emulator.h"

int main(int argc, char **argv)
{
    try {
        usbemu::run_under_preload(argv);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
