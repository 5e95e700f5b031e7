// The real program under every single library fault and under wire noise:
// it must end in bounded time, and either print the right reading or fail
// cleanly, never leaving the device claimed or driving the data line high.
#include <gtest/gtest.h>

#include <cstdio>
#include <future>
#include <string>
#include <vector>

#include "module_facts.h"
#include "program_output.h"
#include "run_program.h"

namespace {

const std::string &good_report = wex_test::default_reading;
const std::string report_prefixes[] = {"Temperature:", "Humidity:", "Dewpoint:"};
constexpr double time_limit_s = 8.0;

Outcome run_with(const std::vector<std::string> &env)
{
    return run_program(WEX_PROGRAM, {}, env, WEX_VMODULE_DIR, time_limit_s);
}

// Runs every environment, two at a time (the machine's cores), in order.
std::vector<Outcome> run_all(const std::vector<std::vector<std::string>> &envs)
{
    std::vector<Outcome> results(envs.size());
    for (std::size_t i = 0; i < envs.size(); i += 2) {
        auto second = i + 1 < envs.size() ? std::async(std::launch::async, run_with, envs[i + 1]) : std::future<Outcome>{};
        results[i] = run_with(envs[i]);
        if (second.valid())
            results[i + 1] = second.get();
    }
    return results;
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

bool is_report_line(const std::string &line)
{
    for (const auto &prefix : report_prefixes)
        if (line.rfind(prefix, 0) == 0)
            return true;
    return false;
}

bool is_write_diagnostic(const std::string &line)
{
    return line.rfind("wex_set_clear_bit: Write to wex-q40 failed (", 0) == 0;
}

unsigned clean_calls(const std::string &busy)
{
    const Outcome run = run_with({"VWEX_BUSY=" + busy});
    EXPECT_EQ(run.out, good_report);
    return run.report.count("calls") ? run.report.at("calls") : 0;
}

void sweep(const std::string &busy, unsigned expected_calls)
{
    const unsigned calls = clean_calls(busy);
    ASSERT_EQ(calls, expected_calls);
    std::vector<std::vector<std::string>> envs;
    for (unsigned n = 1; n <= calls; ++n)
        envs.push_back({"VWEX_BUSY=" + busy, "VWEX_FAIL=any:" + std::to_string(n)});
    const auto results = run_all(envs);

    unsigned right = 0, failed_cleanly = 0;
    for (unsigned n = 1; n <= calls; ++n) {
        const Outcome &run = results[n - 1];
        const bool final_close = n == calls;
        SCOPED_TRACE("call " + std::to_string(n) + " of " + std::to_string(calls) + " failing; output:\n" + run.out);
        ASSERT_FALSE(run.timed_out);
        ASSERT_TRUE(run.status == 0 || run.status == 255) << run.status;
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.out.find("999"), std::string::npos);
        ASSERT_TRUE(run.report.count("open_handles"));
        EXPECT_EQ(run.report.at("open_handles"), final_close ? 1u : 0u);
        EXPECT_EQ(run.report.at("data_driven_high"), 0u);

        const auto lines = lines_of(run.out);
        if (run.status == 0) {
            // Write failures may be reported before a reading the checksum vouched for.
            ASSERT_GE(run.out.size(), good_report.size());
            EXPECT_EQ(run.out.substr(run.out.size() - good_report.size()), good_report);
            for (std::size_t i = 0; i + 3 < lines.size(); ++i)
                EXPECT_TRUE(is_write_diagnostic(lines[i])) << lines[i];
            ++right;
        } else if (final_close) {
            // The reading was complete before the close failed; the report stands, then the failure.
            EXPECT_EQ(run.out, good_report + "wex_close failed!\n");
            ++failed_cleanly;
        } else {
            for (const auto &line : lines)
                EXPECT_FALSE(is_report_line(line)) << line;
            ++failed_cleanly;
        }
    }
    std::printf("fault sweep, sensor busy %s: %u faults, %u still gave the right reading, %u failed cleanly\n",
                busy.c_str(), calls, right, failed_cleanly);
}

TEST(FaultSweep, EverySingleFaultWithASensorReadyAtOnce)
{
    sweep("0", wex_module::clean_reading_calls);
}

TEST(FaultSweep, EverySingleFaultWithASensorBusyForThreeSamples)
{
    sweep("3", 265);
}

TEST(WireNoise, EverySingleBitFlipOfEitherFrameIsRejected)
{
    std::vector<std::vector<std::string>> envs;
    for (const char *frame : {"temp", "hum"})
        for (int bit = 0; bit < 24; ++bit)
            envs.push_back({std::string("VWEX_FLIP=") + frame + ":" + std::to_string(bit)});
    const auto results = run_all(envs);
    for (std::size_t i = 0; i < results.size(); ++i) {
        SCOPED_TRACE(envs[i][0]);
        EXPECT_EQ(results[i].status, 255);
        EXPECT_EQ(results[i].out, i < 24 ? wex_test::bad_temperature_checksum : wex_test::humidity_failed);
    }
}

TEST(WireNoise, StuckDataLineFailsCleanlyInBoundedTime)
{
    const Outcome low = run_with({"VWEX_STUCK=low"});
    EXPECT_EQ(low.status, 255);
    EXPECT_EQ(low.out, wex_test::bad_temperature_checksum);
    const Outcome high = run_with({"VWEX_STUCK=high"});
    EXPECT_EQ(high.status, 255);
    EXPECT_EQ(high.out, wex_test::sensor_timed_out);
    EXPECT_LT(high.seconds, 5.0);
    for (const Outcome *run : {&low, &high})
        EXPECT_EQ(run->report.at("open_handles"), 0u);
}

}  // namespace
