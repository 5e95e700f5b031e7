#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "wex.h"

namespace {

// The table's own entries are checked where it is built, at compile time.
std::uint8_t frame_crc(std::uint8_t command, std::uint8_t high, std::uint8_t low)
{
    wex w{};
    w.crc = 0;
    for (const std::uint8_t byte : {command, high, low})
        EXPECT_EQ(wex_calcrc(&w, byte), 0);
    return w.crc;
}

TEST(Checksum, WorkedFramesAndTheirBytesOnTheWire)
{
    EXPECT_EQ(frame_crc(0x03, 0x1B, 0x58), 0x79);
    EXPECT_EQ(wex_reverse_bits(0x9E), 0x79);
    EXPECT_EQ(frame_crc(0x05, 0x04, 0xB0), 0x53);
    EXPECT_EQ(wex_reverse_bits(0xCA), 0x53);
    EXPECT_EQ(frame_crc(0x03, 0x00, 0x00), 0xCA);
    EXPECT_EQ(wex_reverse_bits(0x53), 0xCA);
    EXPECT_EQ(frame_crc(0x05, 0x00, 0x00), 0x6F);
    EXPECT_EQ(wex_reverse_bits(0xF6), 0x6F);
}

TEST(Checksum, UpdateStartsFromTheRecordsRegister)
{
    wex w{};
    w.crc = 0x53;  // 0x03 already taken in
    wex_calcrc(&w, 0x1B);
    wex_calcrc(&w, 0x58);
    EXPECT_EQ(w.crc, 0x79);
}

TEST(Checksum, OnlyPalindromicBytesReadTheSameReversed)
{
    int palindromes = 0;
    for (int b = 0; b < 256; ++b) {
        const auto byte = static_cast<std::uint8_t>(b);
        EXPECT_EQ(wex_reverse_bits(wex_reverse_bits(byte)), byte);
        palindromes += wex_reverse_bits(byte) == byte;
    }
    EXPECT_EQ(palindromes, 16);
    EXPECT_EQ(wex_reverse_bits(0x18), 0x18);
    EXPECT_EQ(wex_reverse_bits(0x01), 0x80);
}

TEST(Conversion, WorkedValues)
{
    const struct {
        std::uint16_t raw_t, raw_h;
        double t, rh, dew;
    } rows[] = {
        {7000, 1500, 30.00, 50.56, 18.6006},
        {6500, 1200, 25.00, 40.568, 10.6605},
        {4000, 1024, 0.00, 34.0812, -13.9468},
    };
    for (const auto &r : rows) {
        const double t = wex_celsius_from_raw(r.raw_t);
        const double rh = wex_humidity_from_raw(r.raw_h, t);
        EXPECT_NEAR(t, r.t, 1e-9);
        EXPECT_NEAR(rh, r.rh, 5e-5);
        EXPECT_NEAR(wex_dewpoint(t, rh), r.dew, 5e-5);
    }
}

TEST(Conversion, NoMaskingNoClampingNoTrapping)
{
    EXPECT_DOUBLE_EQ(wex_celsius_from_raw(0), -40.0);
    EXPECT_NEAR(wex_celsius_from_raw(0xFFFF), 615.35, 1e-9);
    // At 25 C the compensation term vanishes: the linear humidity stands.
    EXPECT_DOUBLE_EQ(wex_humidity_from_raw(1200, 25.0), 1200 * 0.0405 - 4.0 + (1200 * -0.0000028) * 1200);
    EXPECT_LT(wex_humidity_from_raw(0, 25.0), 0.0);
    EXPECT_TRUE(std::isnan(wex_dewpoint(25.0, 0.0)));
    EXPECT_TRUE(std::isnan(wex_dewpoint(25.0, -4.0)));
}

}  // namespace
