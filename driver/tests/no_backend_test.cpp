// The driver linked with the stub in place of the open backend, with no libftd2xx.so to load.
// What the program prints after a failed wex_init is checked in tests/program_test.cpp.
#include <gtest/gtest.h>

#include <string>

#include "wex.h"

namespace {

const std::string cannot_load =
    "wex_init: cannot load libftd2xx.so: libftd2xx.so: cannot open shared object file: No such file or "
    "directory; /usr/local/lib/libftd2xx.so: cannot open shared object file: No such file or directory\n";

TEST(NoLibraryNoBackend, EveryInitSaysWhyNothingLoadedAndFails)
{
    ASSERT_EQ(wex_ftdi_backend(), nullptr) << "the open backend was linked in place of the stub";
    // A second attempt loads again rather than keeping the first failure as a success.
    for (int attempt = 1; attempt <= 2; ++attempt) {
        wex w{};
        testing::internal::CaptureStdout();
        EXPECT_EQ(wex_init(&w), -1) << "attempt " << attempt;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), cannot_load) << "attempt " << attempt;
        EXPECT_EQ(w.initialized, 0) << "attempt " << attempt;
    }
    FT_HANDLE handle = nullptr;
    EXPECT_EQ(wex_usb().open(0, &handle), FT_DEVICE_NOT_FOUND) << "a failed load left entry points behind";
}

}  // namespace
