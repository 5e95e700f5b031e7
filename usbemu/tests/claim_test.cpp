// One program at a time holds the module's interface, as the kernel grants
// it; a program that ends, however it ends, lets go of it.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <future>
#include <iostream>
#include <string>
#include <thread>

#include <libusb.h>

#include "backend_program.h"
#include "child_run.h"
#include "emulator.h"
#include "ftdi_backend.h"
#include "module_facts.h"
#include "program_output.h"
#include "spawned.h"

namespace {

const std::string &good_report = wex_test::default_reading;
const std::string claimed_report = wex_test::first_module_claimed + wex_test::not_opened;
const std::string claimed_line = "is claimed by another program";
constexpr double time_limit_s = 20.0;

bool good(const wex_test::ChildRun &run)
{
    return !run.timed_out && run.out == good_report && run.status == 0 && run.err.empty();
}

bool refused_as_claimed(const wex_test::ChildRun &run)
{
    return !run.timed_out && run.out == claimed_report && run.status == 255;
}

TEST(OneClaimant, TwoReadingsAtOnceGiveOneReadingAndOneClaimedRefusalOrTwoReadings)
{
    constexpr int pairs = 20;
    int good_runs = 0;
    int claimed_runs = 0;
    for (int i = 0; i < pairs; ++i) {
        const usbemu::Emulator emulator(usbemu::fast_module());
        auto first = std::async(std::launch::async, run_program, time_limit_s);
        auto second = std::async(std::launch::async, run_program, time_limit_s);
        const wex_test::ChildRun a = first.get();
        const wex_test::ChildRun b = second.get();
        for (const wex_test::ChildRun *run : {&a, &b}) {
            EXPECT_TRUE(good(*run) || refused_as_claimed(*run))
                << "pair " << i << ", status " << run->status << (run->timed_out ? " (timed out)" : "") << ":\n"
                << run->out << run->err;
            good_runs += good(*run) ? 1 : 0;
            claimed_runs += refused_as_claimed(*run) ? 1 : 0;
        }
        EXPECT_TRUE(good(a) || good(b)) << "pair " << i << ": the holder's reading was disturbed";
        const usbemu::Counters c = emulator.counters();
        EXPECT_EQ(c.claims, c.releases) << "pair " << i << ": the interface was left claimed";
        EXPECT_EQ(c.busy > 0, !good(a) || !good(b)) << "pair " << i;
    }
    std::cout << "two readings at once, " << pairs << " times: " << good_runs << " read, " << claimed_runs
              << " refused as claimed\n";
    EXPECT_GT(claimed_runs, 0) << "the readings never overlapped, so nothing here was tested";
}

// The reading holds the interface; it is killed part-way, as a monitoring
// system's time-out would; the next reading must not find it claimed.
TEST(OneClaimant, AKilledReadingLetsGoOfTheInterface)
{
    usbemu::Config config = usbemu::fast_module();
    config.sensor.busy_samples = 3;  // several hundred milliseconds per frame
    const usbemu::Emulator emulator(config);
    {
        Spawned killed({WEX_PROGRAM}, backend_unset);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (emulator.counters().claims == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_EQ(emulator.counters().claims, 1u) << "the reading never claimed the interface";
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_EQ(kill(killed.pid(), SIGKILL), 0);
        EXPECT_EQ(killed.wait(time_limit_s), 128 + SIGKILL);
    }
    EXPECT_EQ(emulator.counters().releases, 0u) << "the killed reading had already finished";

    const wex_test::ChildRun next = run_program(time_limit_s);
    ASSERT_FALSE(next.timed_out);
    EXPECT_EQ(next.out.find(claimed_line), std::string::npos) << next.out;
    const usbemu::Counters c = emulator.counters();
    EXPECT_EQ(c.released_on_close, 1u);
    EXPECT_EQ(c.claims, 2u);
    EXPECT_EQ(c.busy, 0u);

    // A sensor left mid-frame may spoil that one reading; the one after is whole.
    const wex_test::ChildRun after = run_program(time_limit_s);
    EXPECT_EQ(after.out, good_report);
    EXPECT_EQ(after.status, 0);
}

// Two opens in one process are two usbfs files: the second is refused the
// interface, and neither sees the other's transfers.
TEST(OneClaimant, ASecondOpenIsRefusedAndTheFirstKeepsItsOwnTransfers)
{
    const usbemu::Emulator emulator(usbemu::fast_module());
    const d2xx_api *api = wex_ftdi_backend();
    ASSERT_EQ(api->set_vid_pid(wex_module::vendor_id, wex_module::product_id), FT_OK);
    FT_HANDLE first = nullptr;
    FT_HANDLE second = nullptr;
    ASSERT_EQ(api->open(0, &first), FT_OK);
    ASSERT_EQ(api->set_bit_mode(first, wex_module::data_input, wex_module::bit_bang_mode), FT_OK);

    ::testing::internal::CaptureStdout();
    EXPECT_EQ(api->open(0, &second), FT_DEVICE_NOT_OPENED);
    std::fflush(stdout);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), wex_test::first_module_claimed);
    EXPECT_EQ(second, nullptr);

    std::uint8_t clock_high = wex_module::clock_pin;
    std::uint32_t written = 0;
    EXPECT_EQ(api->write(first, &clock_high, 1, &written), FT_OK);
    EXPECT_EQ(written, 1u);
    std::uint8_t pins = 0;
    EXPECT_EQ(api->get_bit_mode(first, &pins), FT_OK);
    EXPECT_EQ(pins, wex_module::clock_pin | wex_module::data_pin) << "clock latched high, data pulled up";
    EXPECT_EQ(api->close(first), FT_OK);

    ASSERT_EQ(api->open(0, &second), FT_OK) << "closing the first open did not free the interface";
    EXPECT_EQ(api->close(second), FT_OK);
    const usbemu::Counters c = emulator.counters();
    EXPECT_EQ(c.claims, 2u);
    EXPECT_EQ(c.releases, 2u);
    EXPECT_EQ(c.busy, 2u) << "libftdi1's claim and the backend's probe";
}

// One open's unreaped transfer stays its own while another open of the node,
// in its own USB library context, does a transfer of its own.
TEST(OneClaimant, AnOpenReapsOnlyItsOwnTransfers)
{
    const usbemu::Emulator emulator(usbemu::fast_module());
    libusb_context *contexts[2] = {nullptr, nullptr};
    libusb_device_handle *handles[2] = {nullptr, nullptr};
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(libusb_init(&contexts[i]), LIBUSB_SUCCESS);
        handles[i] = libusb_open_device_with_vid_pid(contexts[i], wex_module::vendor_id, wex_module::product_id);
        ASSERT_NE(handles[i], nullptr);
    }
    constexpr std::uint8_t vendor_in = 0xC0;  // to the host, vendor request, to the device
    constexpr std::uint8_t read_pins = 0x0C;
    unsigned char buffer[LIBUSB_CONTROL_SETUP_SIZE + 1] = {};
    libusb_fill_control_setup(buffer, vendor_in, read_pins, 0, 1, 1);
    int first_done = 0;
    libusb_transfer *first = libusb_alloc_transfer(0);
    libusb_fill_control_transfer(
        first, handles[0], buffer, [](libusb_transfer *t) { *static_cast<int *>(t->user_data) = 1; }, &first_done,
        1000);
    ASSERT_EQ(libusb_submit_transfer(first), LIBUSB_SUCCESS);

    unsigned char pins = 0;
    EXPECT_EQ(libusb_control_transfer(handles[1], vendor_in, read_pins, 0, 1, &pins, 1, 1000), 1);
    EXPECT_EQ(first_done, 0) << "the second open reaped the first one's transfer";
    timeval wait{1, 0};
    while (first_done == 0 && libusb_handle_events_timeout_completed(contexts[0], &wait, &first_done) == 0) {
    }
    EXPECT_EQ(first->status, LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(first->actual_length, 1);
    libusb_free_transfer(first);
    for (int i = 0; i < 2; ++i) {
        libusb_close(handles[i]);
        libusb_exit(contexts[i]);
    }
    EXPECT_EQ(emulator.log().size(), 2u);
}

}  // namespace
