#include <gtest/gtest.h>

#include <chrono>
#include <cmath>

#include "chip.h"
#include "line_script.h"
#include "module_facts.h"
#include "sensor.h"

using namespace sensor_model;
using wex_test::LineScript;
using wex_module::command_humidity;
using wex_module::command_temperature;

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Bench {
    explicit Bench(const SensorConfig &config = {}, Stuck stuck = Stuck::none)
        : sensor(config), chip(sensor, stuck), host{chip}
    {
        chip.reset();
        host.open();
    }
    bool line() const { return chip.levels() & wex_module::data_pin; }

    Sensor sensor;
    Chip chip;
    LineScript<Chip> host;
};

Bytes wire(std::uint16_t raw, std::uint8_t command)
{
    const auto high = static_cast<std::uint8_t>(raw >> 8), low = static_cast<std::uint8_t>(raw);
    return {high, low, sensor_checksum_byte(command, high, low)};
}

TEST(Checksum, WorkedFramesOnTheWire)
{
    EXPECT_EQ(sensor_checksum_byte(command_temperature, 0x1B, 0x58), 0x9E);
    EXPECT_EQ(sensor_checksum_byte(command_humidity, 0x04, 0xB0), 0xCA);
    EXPECT_EQ(sensor_checksum_byte(command_temperature, 0x00, 0x00), 0x53);
    EXPECT_EQ(sensor_checksum_byte(command_humidity, 0x00, 0x00), 0xF6);
}

TEST(RawWords, InvertTheDriversConversions)
{
    EXPECT_EQ(raw_from_celsius(30.0), 7000);
    EXPECT_EQ(raw_from_celsius(0.0), 4000);
    EXPECT_EQ(raw_from_celsius(-50.0), 0);
    EXPECT_EQ(raw_from_celsius(700.0), 65535);
    EXPECT_EQ(raw_from_humidity(50.56, 30.0), 1500);
    EXPECT_EQ(raw_from_humidity(40.568, 25.0), 1200);
    EXPECT_EQ(raw_from_humidity(34.0812, 0.0), 1024);
    for (double t : {-20.0, 25.0, 80.0})
        for (int h = 0; h <= 7000; h += 250) {
            const double linear = h * 0.0405 - 4.0 + (h * -0.0000028) * h;
            const double rh = (t - 25.0) * (h * 0.000008 + 0.01) + linear;
            EXPECT_EQ(raw_from_humidity(rh, t), h) << "T " << t;
        }
}

TEST(OpenDrainLine, LowWhenEitherSidePulls)
{
    Sensor sensor;
    sensor.drive(false, DataDrive::released);
    EXPECT_TRUE(sensor.data_line_high());
    sensor.drive(false, DataDrive::low);
    EXPECT_FALSE(sensor.data_line_high());
    sensor.drive(false, DataDrive::high);
    sensor.drive(false, DataDrive::high);
    EXPECT_TRUE(sensor.data_line_high());
    EXPECT_EQ(sensor.counters().data_driven_high, 1u) << "one transition, two calls";

    Bench bench;
    bench.host.start();
    bench.host.write_bits(command_temperature);  // the sensor acknowledges from here
    EXPECT_TRUE(bench.sensor.pulls_data_low());
    EXPECT_FALSE(bench.line());
    bench.chip.set_bit_mode(0xFF, 0xFF);
    bench.chip.write(wex_module::data_pin);  // contention: the sensor's pull wins
    EXPECT_FALSE(bench.line());
    EXPECT_EQ(bench.sensor.counters().data_driven_high, 1u);
}

TEST(Start, OnlyTheDriversSequenceIsRecognised)
{
    struct Case {
        const char *name;
        void (*play)(LineScript<Chip> &);
        unsigned starts;
        unsigned misuse;
    };
    const Case cases[] = {
        {"the driver's sequence", [](LineScript<Chip> &h) { h.start(); }, 1, 0},
        {"no middle clock",
         [](LineScript<Chip> &h) { h.clock_high(); h.data_low(); h.data_release(); h.clock_low(); }, 0, 1},
        {"data rises with clock low",
         [](LineScript<Chip> &h) {
             h.clock_high(); h.data_low(); h.clock_low(); h.data_release(); h.clock_high(); h.clock_low();
         }, 0, 0},
        {"data falls with clock low",
         [](LineScript<Chip> &h) {
             h.data_low(); h.clock_high(); h.clock_low(); h.clock_high(); h.data_release(); h.clock_low();
         }, 0, 1},
    };
    for (const Case &c : cases) {
        Bench bench;
        c.play(bench.host);
        EXPECT_EQ(bench.sensor.counters().starts, c.starts) << c.name;
        EXPECT_EQ(bench.sensor.counters().data_changed_clock_high, c.misuse) << c.name;
    }
}

TEST(Start, RestartsAnUnfinishedCommand)
{
    Bench bench;
    bench.host.start();
    bench.host.write_bits(0xFF, 5);
    bench.host.data_release();
    bench.host.start();
    bench.host.write_byte(command_temperature);
    EXPECT_EQ(bench.sensor.counters().starts, 2u);
    EXPECT_EQ(bench.host.wait_ready(), 1);
}

TEST(Command, BitsAreTakenOnTheRisingClock)
{
    Bench bench;
    bench.host.start();
    for (int bit = 7; bit >= 0; --bit) {
        const bool one = (command_temperature >> bit) & 1;
        one ? bench.host.data_release() : bench.host.data_low();
        bench.host.clock_high();
        one ? bench.host.data_low() : bench.host.data_release();  // too late to count
        bench.host.clock_low();
    }
    bench.host.data_release();
    bench.host.pulse();
    // The two falls could still begin a start when they happen, so only the six rises count.
    EXPECT_EQ(bench.sensor.counters().data_changed_clock_high, 6u);
    EXPECT_EQ(bench.host.wait_ready(), 1) << "the command taken, not its complement";
}

TEST(Command, AckFromFallingEdgeAfterBitEightToFallingEdgeOfClockNine)
{
    Bench bench;
    bench.host.start();
    bench.host.write_bits(command_humidity, 7);
    bench.host.data_release();
    bench.host.clock_high();
    EXPECT_TRUE(bench.line()) << "not during bit 8";
    bench.host.clock_low();
    EXPECT_FALSE(bench.line());
    bench.host.data_release();
    bench.host.clock_high();
    EXPECT_FALSE(bench.line()) << "held through the ninth clock";
    bench.host.clock_low();
    EXPECT_TRUE(bench.line()) << "released at its falling edge";
    EXPECT_EQ(bench.sensor.counters().commands, 1u);
}

TEST(Command, OthersAreAcknowledgedAndIgnored)
{
    Bench bench;
    bench.host.start();
    bench.host.write_bits(0x07);
    EXPECT_FALSE(bench.line());
    bench.host.data_release();
    bench.host.pulse();
    EXPECT_EQ(bench.host.wait_ready(20), -1);
    EXPECT_EQ(bench.sensor.counters().commands, 1u);
}

TEST(Measurement, BusySamplesThenReady)
{
    for (unsigned busy : {0u, 1u, 7u}) {
        SensorConfig config;
        config.busy_samples = busy;
        Bench bench(config);
        bench.host.start();
        bench.host.write_byte(command_temperature);
        EXPECT_EQ(bench.host.wait_ready(), static_cast<int>(busy) + 1);
        EXPECT_FALSE(bench.host.sample()) << "stays low until the host clocks";
    }
    SensorConfig forever;
    forever.never_ready = true;
    Bench bench(forever);
    bench.host.start();
    bench.host.write_byte(command_humidity);
    EXPECT_EQ(bench.host.wait_ready(500), -1);
}

// Each measurement is busy for its own conversion time, whatever the samples in between.
TEST(Measurement, ConversionTimeThenReady)
{
    SensorConfig config;
    config.temperature_time = std::chrono::milliseconds(40);
    config.humidity_time = std::chrono::milliseconds(10);
    for (const std::uint8_t command : {command_temperature, command_humidity}) {
        Bench bench(config);
        const auto start = std::chrono::steady_clock::now();
        bench.host.start();
        bench.host.write_byte(command);
        EXPECT_GT(bench.host.wait_ready(4000000000u), 1);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_GE(took, command == command_temperature ? config.temperature_time : config.humidity_time);
    }
}

TEST(Frame, BothMeasurementsWithChecksums)
{
    SensorConfig config;
    config.raw_temperature = 0x1B58;
    config.raw_humidity = 0x04B0;
    Bench bench(config);
    EXPECT_EQ(bench.host.measure(command_temperature), (Bytes{0x1B, 0x58, 0x9E}));
    EXPECT_EQ(bench.host.measure(command_humidity), (Bytes{0x04, 0xB0, 0xCA}));
    EXPECT_EQ(bench.sensor.counters().starts, 2u);
    EXPECT_EQ(bench.sensor.counters().commands, 2u);
    EXPECT_EQ(bench.sensor.counters().frames, 2u);
    EXPECT_EQ(bench.sensor.counters().data_changed_clock_high, 0u);
    EXPECT_EQ(bench.sensor.counters().data_driven_high, 0u);
}

TEST(Frame, MsbFirstAndHeldThroughClockLow)
{
    SensorConfig config;
    config.raw_temperature = 0xA43C;
    Bench bench(config);
    bench.host.start();
    bench.host.write_byte(command_temperature);
    ASSERT_EQ(bench.host.wait_ready(), 1);
    std::uint8_t value = 0;
    for (int i = 0; i < 8; ++i) {
        bench.host.clock_high();
        const bool bit = bench.host.sample();
        bench.host.clock_low();
        if (i < 7) {
            EXPECT_EQ(bench.line(), bit) << "bit " << i;
        }
        value = static_cast<std::uint8_t>((value << 1) | bit);
    }
    EXPECT_EQ(value, 0xA4);
    EXPECT_TRUE(bench.line()) << "released for the host's acknowledge";
}

TEST(Frame, MissingAckEndsTheTransfer)
{
    Bench bench;
    bench.host.start();
    bench.host.write_byte(command_temperature);
    ASSERT_EQ(bench.host.wait_ready(), 1);
    EXPECT_EQ(bench.host.read_byte(true), 0x1B);
    EXPECT_EQ(bench.host.read_byte(false), 0xFF);
    EXPECT_EQ(bench.sensor.counters().frames, 0u);

    Bench acked;
    acked.host.start();
    acked.host.write_byte(command_temperature);
    ASSERT_EQ(acked.host.wait_ready(), 1);
    for (std::uint8_t expected : wire(7000, command_temperature))
        EXPECT_EQ(acked.host.read_byte(false), expected);
    EXPECT_EQ(acked.host.read_byte(false), 0xFF) << "an acknowledged checksum asks for nothing more";
    EXPECT_EQ(acked.sensor.counters().frames, 1u);
}

TEST(Misuse, CountedByKind)
{
    Bench bench;
    bench.chip.set_bit_mode(0xFF, 0x01);
    EXPECT_EQ(bench.chip.counters().bad_bit_mode, 1u);
    bench.chip.write(wex_module::data_pin);
    bench.chip.write(wex_module::data_pin | wex_module::clock_pin);
    bench.chip.write(wex_module::clock_pin);
    bench.chip.write(wex_module::data_pin | wex_module::clock_pin);
    EXPECT_EQ(bench.sensor.counters().data_driven_high, 2u);
    EXPECT_EQ(bench.sensor.counters().data_changed_clock_high, 1u);
    bench.chip.set_bit_mode(0xFD, 0xFF);  // driven high to released: the line does not move
    EXPECT_EQ(bench.sensor.counters().data_changed_clock_high, 1u);
    bench.chip.set_bit_mode(0xFD, 0x00);
    EXPECT_EQ(bench.chip.counters().bad_bit_mode, 2u);
}

TEST(Faults, WrongChecksumByte)
{
    SensorConfig config;
    config.bad_crc = Frame::temperature;
    Bench bench(config);
    const Bytes temperature = bench.host.measure(command_temperature);
    ASSERT_EQ(temperature.size(), 3u);
    EXPECT_NE(temperature[2], 0x9E);
    EXPECT_EQ(bench.host.measure(command_humidity), wire(1500, command_humidity));
}

TEST(Faults, ChosenChecksumByteReplacesTheComputedOne)
{
    SensorConfig config;
    config.humidity_checksum = 0x9E;
    Bench bench(config);
    EXPECT_EQ(bench.host.measure(command_temperature), wire(7000, command_temperature));
    EXPECT_EQ(bench.host.measure(command_humidity)[2], 0x9E);
}

TEST(Faults, OneBitFlippedOnTheWire)
{
    const struct {
        Frame frame;
        int bit;
        std::size_t byte;
        std::uint8_t mask;
    } cases[] = {
        {Frame::temperature, 0, 0, 0x80},
        {Frame::temperature, 13, 1, 0x04},
        {Frame::humidity, 23, 2, 0x01},
    };
    for (const auto &c : cases) {
        SensorConfig config;
        config.flip_frame = c.frame;
        config.flip_bit = c.bit;
        Bench bench(config);
        Bytes temperature = wire(7000, command_temperature), humidity = wire(1500, command_humidity);
        (c.frame == Frame::temperature ? temperature : humidity)[c.byte] ^= c.mask;
        EXPECT_EQ(bench.host.measure(command_temperature), temperature) << "bit " << c.bit;
        EXPECT_EQ(bench.host.measure(command_humidity), humidity) << "bit " << c.bit;
    }
}

TEST(Faults, MuteSensorNeverPullsTheLine)
{
    SensorConfig config;
    config.mute = true;
    Bench bench(config);
    bench.host.start();
    bench.host.write_bits(command_temperature);
    EXPECT_TRUE(bench.line());
    bench.host.data_release();
    bench.host.pulse();
    EXPECT_EQ(bench.host.wait_ready(20), -1);
}

TEST(Chip, PinLevels)
{
    Sensor sensor;
    Chip chip(sensor);
    chip.reset();
    EXPECT_EQ(chip.read_pins(), 0xFF) << "all inputs, pulled up";
    chip.set_bit_mode(0xFD, 0xFF);
    EXPECT_EQ(chip.read_pins(), wex_module::data_pin);
    chip.write(0xF1);
    EXPECT_EQ(chip.read_pins(), 0xF3);
    chip.set_bit_mode(0xFF, 0xFF);
    EXPECT_EQ(chip.read_pins(), 0xF1) << "data driven low by the latch";
    EXPECT_EQ(chip.mask(), 0xFF);
    EXPECT_EQ(chip.latch(), 0xF1);
    chip.reset();
    EXPECT_EQ(chip.mask() | chip.latch() | chip.mode(), 0);
}

TEST(Chip, StuckDataLine)
{
    Bench low({}, Stuck::low);
    EXPECT_FALSE(low.host.sample());
    low.host.start();
    EXPECT_EQ(low.sensor.counters().starts, 0u);

    Bench high({}, Stuck::high);
    high.host.data_low();
    EXPECT_TRUE(high.host.sample());
    EXPECT_TRUE(high.host.measure(command_temperature).empty());
    EXPECT_EQ(high.sensor.counters().starts, 0u);
}

}  // namespace
