// Pin-level model of the module's humidity-and-temperature sensor: the host
// tells it the clock level and what it does with the data line, the model
// answers whether it pulls the data line low. No USB, no D2XX in here, so
// every front end (the D2XX stand-in, the emulated USB chip) can share it.
#ifndef SENSOR_MODEL_SENSOR_H
#define SENSOR_MODEL_SENSOR_H

#include <chrono>
#include <cstdint>

namespace sensor_model {

enum class Frame { none, temperature, humidity };

struct SensorConfig {
    std::uint16_t raw_temperature = 7000;  // 30.00 C
    std::uint16_t raw_humidity = 1500;     // 50.56 %RH at 30 C
    // Samples of the pins that read busy before the result is ready; 0 means
    // the first sample after the command already reads ready.
    unsigned busy_samples = 0;
    // Real time a measurement takes before it is ready, counted from its command
    // and on top of busy_samples; zero: done at the first sample.
    std::chrono::microseconds temperature_time{0};
    std::chrono::microseconds humidity_time{0};
    bool never_ready = false;  // acknowledges commands, then measures forever
    bool mute = false;         // never acknowledges, never measures
    Frame bad_crc = Frame::none;  // send a wrong checksum byte in this frame
    // 0..255: sent in place of the checksum byte of that frame, right or wrong.
    int temperature_checksum = -1;
    int humidity_checksum = -1;
    Frame flip_frame = Frame::none;
    int flip_bit = -1;  // 0..23, bit 0 = first bit on the wire of that frame
};

// What the host does with the data line.
enum class DataDrive { released, low, high };

struct SensorCounters {
    unsigned data_driven_high = 0;         // host drove the data line high
    unsigned data_changed_clock_high = 0;  // host moved data while the clock was high, outside a start
    unsigned starts = 0;                   // transmission starts recognised
    unsigned commands = 0;                 // command bytes received (any value)
    unsigned frames = 0;                   // frames whose checksum byte was clocked out
};

class Sensor {
public:
    explicit Sensor(const SensorConfig &config = SensorConfig{});

    // New levels from the host: called after every change the host makes to
    // the clock pin or to the data pin's direction or level.
    void drive(bool clock_high, DataDrive data);
    // The host reads the pins; a measurement in progress counts its busy samples here.
    void sample();

    bool pulls_data_low() const;
    bool data_line_high() const;  // the open-drain line as seen by both sides
    const SensorCounters &counters() const { return counters_; }
    const SensorConfig &config() const { return config_; }

private:
    enum class State { idle, command, command_ack, measuring, ready, sending, sent_ack };

    void on_rising_edge();
    void on_falling_edge();
    void on_data_change_clock_high(bool fell);
    bool advance_start(bool rising);  // true when this clock edge completes a transmission start
    void begin_transmission();
    void begin_frame();
    void present_bit();

    SensorConfig config_;
    SensorCounters counters_;
    State state_ = State::idle;
    bool clock_ = false;
    DataDrive data_ = DataDrive::released;
    bool pull_low_ = false;
    int start_step_ = 0;  // progress through the transmission-start sequence
    std::uint8_t command_ = 0;
    int bit_ = 0;
    unsigned busy_left_ = 0;
    std::chrono::steady_clock::time_point ready_at_;
    std::uint8_t frame_[3] = {};
    Frame frame_kind_ = Frame::none;
    int byte_ = 0;
    bool acked_ = false;  // the host held the line low on the ninth clock
};

// The checksum the sensor appends: CRC-8 (x^8 + x^5 + x^4 + 1) over the
// command and both data bytes, sent with its bit order reversed.
// The datasheet's conversion times for 14-bit temperature and 12-bit humidity.
struct ConversionTimes {
    std::chrono::microseconds temperature;
    std::chrono::microseconds humidity;
};
constexpr ConversionTimes typical_conversion{std::chrono::milliseconds(210), std::chrono::milliseconds(55)};
constexpr ConversionTimes maximum_conversion{std::chrono::milliseconds(320), std::chrono::milliseconds(80)};

std::uint8_t sensor_checksum_byte(std::uint8_t command, std::uint8_t high, std::uint8_t low);

// Raw words for physical values, the inverse of the driver's conversions.
std::uint16_t raw_from_celsius(double celsius);
// The temperature a raw word stands for, which the sensor compensates its humidity word for.
double celsius_from_raw(std::uint16_t raw);
std::uint16_t raw_from_humidity(double percent, double celsius);

}  // namespace sensor_model

#endif
