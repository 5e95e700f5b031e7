// The libftdi1 backend's seven functions called directly against the emulated chip.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "emulator.h"
#include "ftdi_backend.h"
#include "module_facts.h"

namespace {

using usbemu::Transfer;

constexpr std::uint8_t sio_set_bitmode = 0x0B;
constexpr std::uint8_t sio_read_pins = 0x0C;

class Backend : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(api->set_vid_pid(wex_module::vendor_id, wex_module::product_id), FT_OK); }

    // Opens device 0 and returns what FT_Open printed.
    std::string open_first(FT_HANDLE &handle, FT_STATUS expected = FT_OK)
    {
        ::testing::internal::CaptureStdout();
        const FT_STATUS status = api->open(0, &handle);
        std::fflush(stdout);
        std::string printed = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(status, expected);
        return printed;
    }

    const d2xx_api *api = wex_ftdi_backend();
};

TEST_F(Backend, OpensOnlyTheRememberedIdsAndIndexSilently)
{
    usbemu::Emulator emulator(usbemu::fast_module());
    FT_HANDLE handle = nullptr;

    ASSERT_EQ(api->set_vid_pid(0x0403, 0x6001), FT_OK);
    EXPECT_EQ(open_first(handle, FT_DEVICE_NOT_FOUND), "");
    EXPECT_EQ(handle, nullptr);

    ASSERT_EQ(api->set_vid_pid(wex_module::vendor_id, wex_module::product_id), FT_OK);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(api->open(1, &handle), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(api->open(-1, &handle), FT_DEVICE_NOT_FOUND);
    std::fflush(stdout);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");

    EXPECT_EQ(api->set_vid_pid(0x10000, 0xFBF9), FT_INVALID_PARAMETER);
    EXPECT_EQ(open_first(handle), "");
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(api->close(handle), FT_OK);
    EXPECT_EQ(emulator.counters().claims, 1u);
    EXPECT_EQ(emulator.counters().releases, 1u);
}

TEST_F(Backend, NoDeviceOnTheBusIsNotFoundSilently)
{
    usbemu::Config config = usbemu::fast_module();
    config.present = false;
    usbemu::Emulator emulator(config);
    FT_HANDLE handle = nullptr;
    EXPECT_EQ(open_first(handle, FT_DEVICE_NOT_FOUND), "");
}

TEST_F(Backend, PassesBitModeWritesAndPinReadsThroughUnchanged)
{
    usbemu::Emulator emulator(usbemu::fast_module());
    FT_HANDLE handle = nullptr;
    open_first(handle);
    ASSERT_NE(handle, nullptr);
    const std::size_t opening = emulator.log().size();

    EXPECT_EQ(api->set_bit_mode(handle, 0xFD, 0xFF), FT_OK);
    std::uint8_t bytes[] = {0x01, 0x00, 0x01};
    std::uint32_t written = 0;
    EXPECT_EQ(api->write(handle, bytes, 3, &written), FT_OK);
    EXPECT_EQ(written, 3u);
    std::uint8_t pins = 0;
    EXPECT_EQ(api->get_bit_mode(handle, &pins), FT_OK);
    EXPECT_EQ(pins, 0x03) << "clock latched high, the released data line pulled up";

    EXPECT_EQ(api->set_bit_mode(handle, 0xFF, 0xFF), FT_OK);
    std::uint8_t low = 0x00;
    EXPECT_EQ(api->write(handle, &low, 1, &written), FT_OK);
    EXPECT_EQ(written, 1u);
    EXPECT_EQ(api->get_bit_mode(handle, &pins), FT_OK);
    EXPECT_EQ(pins, 0x00);
    EXPECT_EQ(api->set_bit_mode(handle, 0x0F, 0x01), FT_OK);
    EXPECT_EQ(api->close(handle), FT_OK);

    const std::vector<usbemu::Request> log = emulator.log();
    ASSERT_EQ(log.size(), opening + 7);
    const usbemu::Request *r = log.data() + opening;
    EXPECT_TRUE(r[0].transfer == Transfer::control_out && r[0].request == sio_set_bitmode && r[0].value == 0xFFFD);
    EXPECT_TRUE(r[1].transfer == Transfer::bulk_out && r[1].data == std::vector<std::uint8_t>({0x01, 0x00, 0x01}));
    EXPECT_TRUE(r[2].transfer == Transfer::control_in && r[2].request == sio_read_pins);
    EXPECT_TRUE(r[3].transfer == Transfer::control_out && r[3].request == sio_set_bitmode && r[3].value == 0xFFFF);
    EXPECT_TRUE(r[4].transfer == Transfer::bulk_out && r[4].data == std::vector<std::uint8_t>({0x00}));
    EXPECT_TRUE(r[5].transfer == Transfer::control_in && r[5].request == sio_read_pins);
    EXPECT_TRUE(r[6].transfer == Transfer::control_out && r[6].request == sio_set_bitmode && r[6].value == 0x010F);
    EXPECT_EQ(emulator.counters().releases, 1u);
}

TEST_F(Backend, RejectsHandlesItDidNotIssueOrHasClosed)
{
    usbemu::Emulator emulator(usbemu::fast_module());
    FT_HANDLE closed = nullptr;
    open_first(closed);
    ASSERT_NE(closed, nullptr);
    ASSERT_EQ(api->close(closed), FT_OK);
    int stranger = 0;

    std::uint8_t byte = 0;
    std::uint32_t written = 0;
    for (FT_HANDLE h : {static_cast<FT_HANDLE>(nullptr), static_cast<FT_HANDLE>(&stranger), closed}) {
        EXPECT_EQ(api->set_timeouts(h, 25, 25), FT_INVALID_HANDLE);
        EXPECT_EQ(api->set_bit_mode(h, 0xFF, 0xFF), FT_INVALID_HANDLE);
        EXPECT_EQ(api->get_bit_mode(h, &byte), FT_INVALID_HANDLE);
        EXPECT_EQ(api->write(h, &byte, 1, &written), FT_INVALID_HANDLE);
        EXPECT_EQ(api->close(h), FT_INVALID_HANDLE);
    }
    EXPECT_EQ(emulator.counters().releases, 1u);
}

TEST_F(Backend, RejectsMissingArgumentsWithoutTouchingTheDevice)
{
    usbemu::Emulator emulator(usbemu::fast_module());
    EXPECT_EQ(api->open(0, nullptr), FT_INVALID_PARAMETER);
    FT_HANDLE handle = nullptr;
    open_first(handle);
    ASSERT_NE(handle, nullptr);
    const std::size_t opening = emulator.log().size();

    std::uint8_t byte = 0;
    std::uint32_t written = 7;
    EXPECT_EQ(api->get_bit_mode(handle, nullptr), FT_INVALID_PARAMETER);
    EXPECT_EQ(api->write(handle, &byte, 1, nullptr), FT_INVALID_PARAMETER);
    EXPECT_EQ(api->write(handle, nullptr, 1, &written), FT_INVALID_PARAMETER);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(api->set_timeouts(handle, 0x80000000u, 25), FT_INVALID_PARAMETER);
    written = 7;
    EXPECT_EQ(api->write(handle, &byte, 0, &written), FT_OK);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(api->set_timeouts(handle, 25, 25), FT_OK);
    EXPECT_EQ(emulator.log().size(), opening);
    EXPECT_EQ(api->close(handle), FT_OK);
}

TEST_F(Backend, ReportsIoErrorsOnceTheDeviceHasVanished)
{
    usbemu::Config config = usbemu::fast_module();
    config.vanish_after = 3;  // opening's reset and baud rate, then one more
    usbemu::Emulator emulator(config);
    FT_HANDLE handle = nullptr;
    open_first(handle);
    ASSERT_NE(handle, nullptr);

    EXPECT_EQ(api->set_bit_mode(handle, 0xFF, 0xFF), FT_OK);
    std::uint8_t byte = 0x01;
    std::uint32_t written = 7;
    EXPECT_EQ(api->write(handle, &byte, 1, &written), FT_IO_ERROR);
    EXPECT_EQ(written, 0u);
    std::uint8_t pins = 0x5A;
    EXPECT_EQ(api->get_bit_mode(handle, &pins), FT_IO_ERROR);
    EXPECT_EQ(pins, 0x5A);
    EXPECT_EQ(api->set_bit_mode(handle, 0xFD, 0xFF), FT_IO_ERROR);
    EXPECT_EQ(api->close(handle), FT_IO_ERROR);
    EXPECT_EQ(api->close(handle), FT_INVALID_HANDLE) << "a failed close must still free the handle";
    EXPECT_EQ(emulator.log().size(), 3u);
}

// The kernel's serial driver holds the module only once its ID has been added by hand; opening detaches it.
TEST_F(Backend, DetachesASerialDriverBoundByHand)
{
    usbemu::Config config = usbemu::fast_module();
    config.serial_driver = true;
    usbemu::Emulator emulator(config);
    FT_HANDLE handle = nullptr;
    EXPECT_EQ(open_first(handle), "");
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(api->close(handle), FT_OK);
    EXPECT_EQ(emulator.counters().claims, 1u);
}

TEST_F(Backend, NamesTheProgramHoldingTheDevice)
{
    usbemu::Config config = usbemu::fast_module();
    config.claimed_elsewhere = true;
    usbemu::Emulator emulator(config);
    FT_HANDLE handle = nullptr;
    EXPECT_EQ(open_first(handle, FT_DEVICE_NOT_OPENED),
              "FT_Open: USB device /dev/bus/usb/001/002 is claimed by another program\n");
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(emulator.counters().claims, 0u);
}

}  // namespace
