// The real program through the open backend, libftdi1, libusb and usbfs with
// one transfer of a good reading failing in each way the wire can fail: it
// must end in bounded time with its own lines, either the right reading or
// 255, with the device closed; the next reading, module back in order, is good.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "backend_program.h"
#include "emulator.h"
#include "program_output.h"
#include "wex_messages.h"

namespace {

using usbemu::FaultKind;
const std::string &good_report = wex_test::default_reading;

// A clean reading with a sensor ready at once: opening's reset and baud rate,
// then the bit-banging of both measurements.
constexpr unsigned reading_transfers = 257;

// A fault costs at most one wait: libftdi1's default 5 s time-out on opening's
// two transfers (25 ms on the others, after FT_SetTimeouts), or the program's
// 2 s of polls for a sensor that missed its command; on top of a clean reading
// (two 100 ms poll sleeps and 257 transfers, under 2 s here, or as long as the
// batch's clean readings took at once: a sanitizer's build runs them slower).
constexpr double longest_wait_s = 5.0;
constexpr double clean_reading_s = 2.0;
// Only a hung program meets it.
constexpr double time_limit_s = 30.0;

// The first characters of every line the program prints, up to its first conversion.
bool is_program_line(std::string_view line)
{
    using namespace wex_messages;
    for (std::string_view format :
         {load_failed, not_initialized, open_failed, bit_bang_failed, write_failed, direction_not_open,
          pins_read_failed, sensor_timed_out, bad_crc, permission_denied, claimed, open_refused, init_failed,
          open_step_failed, read_temp_failed, read_hum_failed, close_failed, temperature_report, humidity_report,
          dewpoint_report}) {
        const std::string_view fixed = format.substr(0, format.find('%'));
        if (line.substr(0, fixed.size()) == fixed && (fixed.size() < format.size() || line.size() == fixed.size()))
            return true;
    }
    return false;
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; start < text.size(); start = end + 1) {
        end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start) + "\n");
    }
    return lines;
}

// The emulator learns that a program has closed the node only at its next look.
usbemu::Counters settled(const usbemu::Emulator &emulator)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    usbemu::Counters c = emulator.counters();
    while ((c.open_now != 0 || c.held) && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        c = emulator.counters();
    }
    return c;
}

enum class Ended { right, failed, right_then_close_failed };

struct Tally {
    unsigned right = 0, failed = 0, close_failed = 0;
};

// Checks one run and says how it ended.
Ended judge(const wex_test::ChildRun &run)
{
    const std::vector<std::string> lines = lines_of(run.out);
    for (const std::string &line : lines)
        EXPECT_TRUE(is_program_line(line)) << "not the program's line: " << line;
    EXPECT_EQ(run.err, "");
    const bool ends_with_report = run.out.size() >= good_report.size() &&
                                  run.out.compare(run.out.size() - good_report.size(), std::string::npos,
                                                  good_report) == 0;
    if (run.status == 0) {
        EXPECT_TRUE(ends_with_report) << "status 0 without the right reading";
        return Ended::right;
    }
    EXPECT_EQ(run.status, 255);
    // The reading was complete when the device left; its close then fails, after the report.
    if (run.out.size() > good_report.size() && run.out.find(good_report) != std::string::npos) {
        EXPECT_EQ(run.out.substr(run.out.find(good_report)), good_report + wex_messages::close_failed);
        return Ended::right_then_close_failed;
    }
    for (const std::string_view label :
         {wex_messages::temperature_label, wex_messages::humidity_label, wex_messages::dewpoint_label})
        EXPECT_EQ(run.out.find(label), std::string::npos) << "a report line in a failed reading";
    return Ended::failed;
}

// The program against one emulator among several alive at once: its own testbed named in its environment.
wex_test::ChildRun run_in(const usbemu::Emulator &emulator)
{
    return wex_test::run_child({WEX_PROGRAM},
                               wex_test::environment_with({"UMOCKDEV_DIR=" + emulator.root_dir()}, backend_unset),
                               time_limit_s);
}

// One transfer failing, checked but for its time, which the batch's clean readings bound; its seconds.
double fault_case(usbemu::Emulator &emulator, Tally &tally)
{
    const wex_test::ChildRun run = run_in(emulator);
    EXPECT_FALSE(run.timed_out) << "the program hung";
    if (run.timed_out)
        return run.seconds;
    const Ended ended = judge(run);
    tally.right += ended == Ended::right;
    tally.failed += ended == Ended::failed;
    tally.close_failed += ended == Ended::right_then_close_failed;
    const usbemu::Counters c = settled(emulator);
    EXPECT_EQ(c.open_now, 0u) << "the device was left open";
    EXPECT_FALSE(c.held) << "the interface was left claimed";
    EXPECT_EQ(c.claims, c.releases + c.released_on_close + c.released_on_unplug);
    EXPECT_EQ(c.sensor.data_driven_high, 0u);
    if (c.unplugged) {
        EXPECT_EQ(run_in(emulator).out, wex_test::not_opened) << "an unplugged module was found";
    }
    return run.seconds;
}

// The clean reading after the fault; its seconds.
double after_case(const usbemu::Emulator &emulator)
{
    const wex_test::ChildRun after = run_in(emulator);
    EXPECT_EQ(after.out, good_report) << "the reading after the fault";
    EXPECT_EQ(after.status, 0);
    return after.seconds;
}

// Runs one step of every case of a batch at once.
template <typename Step>
void at_once(std::size_t count, const Step &step)
{
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < count; ++i)
        threads.emplace_back(step, i);
    for (std::thread &t : threads)
        t.join();
}

// Cases run a few at a time, each against an emulator of its own: most of a
// case is sleeps and time-outs. Testbeds are made on this thread only, since
// each one's making sets this process's environment.
constexpr std::size_t batch = 12;

void sweep(FaultKind kind, const std::vector<unsigned> &transfers, Tally &tally)
{
    for (std::size_t first = 0; first < transfers.size(); first += batch) {
        const std::size_t count = std::min(batch, transfers.size() - first);
        std::vector<std::unique_ptr<usbemu::Emulator>> emulators;
        for (std::size_t i = 0; i < count; ++i) {
            usbemu::Config config = usbemu::fast_module();
            config.faults = {{transfers[first + i], kind}};
            emulators.push_back(std::make_unique<usbemu::Emulator>(config));
        }
        std::vector<Tally> tallies(count);
        std::vector<double> took(count), clean(count);
        auto trace = [&](std::size_t i) { return "transfer " + std::to_string(transfers[first + i]); };
        at_once(count, [&](std::size_t i) {
            SCOPED_TRACE(trace(i));
            took[i] = fault_case(*emulators[i], tallies[i]);
        });
        // An unplugged module plugged back in is one powered up afresh.
        for (auto &emulator : emulators)
            if (emulator->counters().unplugged) {
                emulator = std::make_unique<usbemu::Emulator>(usbemu::fast_module());
            }
        at_once(count, [&](std::size_t i) {
            SCOPED_TRACE(trace(i));
            clean[i] = after_case(*emulators[i]);
        });
        const double reading_s = std::max(clean_reading_s, *std::max_element(clean.begin(), clean.end()));
        for (std::size_t i = 0; i < count; ++i) {
            SCOPED_TRACE(trace(i));
            EXPECT_LT(took[i], longest_wait_s + reading_s);
        }
        for (const Tally &t : tallies) {
            tally.right += t.right;
            tally.failed += t.failed;
            tally.close_failed += t.close_failed;
        }
    }
}

// With USBEMU_SWEEP_ALL set, every transfer; else opening whole and every
// distinct USB call of each protocol phase of the temperature cycle (the
// humidity cycle repeats it with another command word: only its poll).
std::vector<unsigned> swept_transfers()
{
    std::vector<unsigned> picked;
    if (std::getenv("USBEMU_SWEEP_ALL") != nullptr) {
        for (unsigned n = 1; n <= reading_transfers; ++n)
            picked.push_back(n);
        return picked;
    }
    constexpr unsigned cycle = 126;  // one measurement's transfers, the second starting at 132
    picked = {
        1, 2, 3, 4, 5,           // reset, baud rate, bit-bang on, data released, clock low
        6, 7, 8, 9, 10, 11, 12,  // the transmission start, every step
        13, 14, 15, 44,          // a command bit (data low, its write, the clock), the acknowledge clock
        46,                      // the poll
        47, 48, 49,              // a data bit: clock high, the sample, clock low
        71, 72, 75,              // the host's acknowledge: data low, its write, data released
        129, 130, 131,           // the end without acknowledge
        46 + cycle,              // the humidity's poll
    };
    return picked;
}

const char *kind_name(FaultKind kind)
{
    switch (kind) {
    case FaultKind::stall: return "stall";
    case FaultKind::timeout: return "timeout";
    case FaultKind::short_transfer: return "short";
    case FaultKind::gone: return "gone";
    }
    return "?";
}

class TransferFault : public ::testing::TestWithParam<FaultKind> {};

TEST_P(TransferFault, EndsInTimeWithTheRightReadingOr255AndLetsGoOfTheModule)
{
    Tally tally;
    const std::vector<unsigned> transfers = swept_transfers();
    sweep(GetParam(), transfers, tally);
    std::printf("fault sweep over USB, %s: %zu transfers, %u right readings, %u failed cleanly, "
                "%u right readings then a failed close\n",
                kind_name(GetParam()), transfers.size(), tally.right, tally.failed, tally.close_failed);
}

INSTANTIATE_TEST_SUITE_P(Wire, TransferFault,
                         ::testing::Values(FaultKind::stall, FaultKind::timeout, FaultKind::short_transfer,
                                           FaultKind::gone),
                         [](const ::testing::TestParamInfo<FaultKind> &p) { return std::string(kind_name(p.param)); });

}  // namespace
