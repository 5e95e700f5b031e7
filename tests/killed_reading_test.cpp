// A reading killed after any one of its library calls leaves the sensor where
// that call left it; the sensor stays powered, so the next readings meet it so.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <vector>

#include "d2xx.h"
#include "commands.h"
#include "options.h"
#include "vwex.h"
#include "wex.h"

using vmodule::Call;
using vmodule::Function;

namespace {

constexpr int most_readings = 5;

bool reading()
{
    testing::internal::CaptureStdout();
    wex w{};
    const bool good = wex_init(&w) == 0 && wex_open(&w) == 0 && wex_read_temp(&w) == 0 && wex_read_hum(&w) == 0;
    if (w.open)
        wex_close(&w);
    testing::internal::GetCapturedStdout();
    return good;
}

// The calls a killed program got through, made again; its handle then goes, as the kernel closes it.
void replay(const std::vector<Call> &calls, std::size_t count)
{
    FT_HANDLE handle = nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        const Call &c = calls[i];
        std::uint8_t pins = 0;
        std::uint32_t written = 0;
        std::vector<std::uint8_t> data = c.data;
        switch (c.function) {
        case Function::set_vid_pid: FT_SetVIDPID(c.a, c.b); break;
        case Function::open: FT_Open(static_cast<int>(c.a), &handle); break;
        case Function::set_timeouts: FT_SetTimeouts(handle, c.b, c.c); break;
        case Function::set_bit_mode:
            FT_SetBitMode(handle, static_cast<std::uint8_t>(c.b), static_cast<std::uint8_t>(c.c));
            break;
        case Function::get_bit_mode: FT_GetBitMode(handle, &pins); break;
        case Function::write: FT_Write(handle, data.data(), static_cast<std::uint32_t>(data.size()), &written); break;
        case Function::close: FT_Close(handle); handle = nullptr; break;
        case Function::any: break;
        }
    }
    if (handle != nullptr)
        FT_Close(handle);
}

class KilledReading : public ::testing::TestWithParam<unsigned> {};

TEST_P(KilledReading, TheDefaultRetriesCoverTheReadingsThatFailAfterAKillAtAnyCall)
{
    vmodule::ModuleConfig config;
    config.sensor.busy_samples = GetParam();
    vmodule::vwex_configure(config);
    ASSERT_TRUE(reading());
    // A copy: configuring the module again clears its log.
    const std::vector<Call> &log = vmodule::vwex_calls();
    const std::vector<Call> clean(log.begin(), log.end());

    char name[] = "json";
    char *args[] = {name, nullptr};
    const auto parsed = wex_q40::parse_options(wex_q40::subcommand(wex_q40::Command::json), 1, args);
    ASSERT_EQ(parsed.error, "");
    const int retries = static_cast<int>(parsed.options.common.reading.retries);
    std::map<int, int> kills_by_failures;  // failed readings after the kill, until a good one
    for (std::size_t killed_after = 1; killed_after < clean.size(); ++killed_after) {
        vmodule::vwex_configure(config);
        replay(clean, killed_after);
        int failed = 0;
        while (failed < most_readings && !reading())
            ++failed;
        ++kills_by_failures[failed];
        EXPECT_LE(failed, retries) << "killed after call " << killed_after << " of " << clean.size();
    }
    for (const auto &[failed, kills] : kills_by_failures)
        std::printf("sensor busy %u: %d of the %zu points a reading can be killed at, then %d failed readings\n",
                    GetParam(), kills, clean.size(), failed);
}

INSTANTIATE_TEST_SUITE_P(SensorBusy, KilledReading, ::testing::Values(0u, 3u));

}  // namespace
