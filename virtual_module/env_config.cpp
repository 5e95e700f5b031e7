// The module's configuration from its VWEX_* environment variables.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "function_names.h"
#include "vwex.h"
#include "whole_number.h"

namespace vmodule {

namespace {

constexpr int flip_bits = 24;

[[noreturn]] void bad(const char *variable, const std::string &reason)
{
    throw std::invalid_argument(std::string(variable) + ": " + reason);
}

const char *env(const char *variable)
{
    const char *value = std::getenv(variable);
    return value && *value ? value : nullptr;
}

unsigned long parse_unsigned(const char *variable, const char *text, unsigned long max, bool hex_ok)
{
    using wex_common::NumberError;
    unsigned long value = 0;
    const NumberError error = wex_common::parse_whole_number(
        text, 0UL, max, value, hex_ok ? wex_common::Base::decimal_or_hex : wex_common::Base::decimal);
    if (error == NumberError::not_a_number)
        bad(variable, "not a number: " + std::string(text));
    if (error == NumberError::out_of_range)
        bad(variable, "out of range: " + std::string(text));
    return value;
}

double parse_double(const char *variable, const char *text)
{
    char *end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(value))
        bad(variable, "not a number: " + std::string(text));
    return value;
}

bool parse_flag(const char *variable, const char *text)
{
    if (std::strcmp(text, "0") != 0 && std::strcmp(text, "1") != 0)
        bad(variable, "expected 0 or 1, got " + std::string(text));
    return text[0] == '1';
}

sensor_model::Frame parse_frame(const char *variable, const std::string &text)
{
    if (text == "temp")
        return sensor_model::Frame::temperature;
    if (text == "hum")
        return sensor_model::Frame::humidity;
    bad(variable, "expected temp or hum, got " + text);
}

std::uint16_t parse_raw_word(const char *variable, const char *text)
{
    return static_cast<std::uint16_t>(parse_unsigned(variable, text, 0xFFFF, true));
}

void parse_fail(const char *text, ModuleConfig &config)
{
    const std::string value = text;
    const auto colon = value.find(':');
    const auto function = function_named(value.substr(0, colon));
    if (colon == std::string::npos || !function)
        bad("VWEX_FAIL", "expected <function>:<n>, got " + value);
    config.fail_function = *function;
    config.fail_call = static_cast<unsigned>(parse_unsigned("VWEX_FAIL", text + colon + 1, 0xFFFFFFFFu, false));
    if (config.fail_call == 0)
        bad("VWEX_FAIL", "calls are counted from 1");
}

void parse_flip(const char *text, sensor_model::SensorConfig &sensor)
{
    const std::string value = text;
    const auto colon = value.find(':');
    if (colon == std::string::npos)
        bad("VWEX_FLIP", "expected temp:<bit> or hum:<bit>, got " + value);
    sensor.flip_frame = parse_frame("VWEX_FLIP", value.substr(0, colon));
    sensor.flip_bit = static_cast<int>(parse_unsigned("VWEX_FLIP", text + colon + 1, flip_bits - 1, false));
}

sensor_model::Stuck parse_stuck(const char *text)
{
    if (std::strcmp(text, "low") == 0)
        return sensor_model::Stuck::low;
    if (std::strcmp(text, "high") == 0)
        return sensor_model::Stuck::high;
    bad("VWEX_STUCK", "expected low or high, got " + std::string(text));
}

}  // namespace

ModuleConfig vwex_config_from_env()
{
    ModuleConfig config;
    sensor_model::SensorConfig &sensor = config.sensor;
    if (env("VWEX_TEMP") && env("VWEX_RAW_TEMP"))
        bad("VWEX_TEMP", "VWEX_RAW_TEMP is set too");
    if (env("VWEX_HUM") && env("VWEX_RAW_HUM"))
        bad("VWEX_HUM", "VWEX_RAW_HUM is set too");
    if (const char *v = env("VWEX_RAW_TEMP"))
        sensor.raw_temperature = parse_raw_word("VWEX_RAW_TEMP", v);
    if (const char *v = env("VWEX_TEMP"))
        sensor.raw_temperature = sensor_model::raw_from_celsius(parse_double("VWEX_TEMP", v));
    if (const char *v = env("VWEX_RAW_HUM"))
        sensor.raw_humidity = parse_raw_word("VWEX_RAW_HUM", v);
    // The humidity word is compensated for the temperature the sensor will report.
    if (const char *v = env("VWEX_HUM"))
        sensor.raw_humidity = sensor_model::raw_from_humidity(parse_double("VWEX_HUM", v),
                                                              sensor_model::celsius_from_raw(sensor.raw_temperature));
    if (const char *v = env("VWEX_BUSY")) {
        if (std::strcmp(v, "forever") == 0)
            sensor.never_ready = true;
        else
            sensor.busy_samples = static_cast<unsigned>(parse_unsigned("VWEX_BUSY", v, 0xFFFFFFFFu, false));
    }
    if (const char *v = env("VWEX_MUTE"))
        sensor.mute = parse_flag("VWEX_MUTE", v);
    if (const char *v = env("VWEX_ABSENT"))
        config.absent = parse_flag("VWEX_ABSENT", v);
    if (const char *v = env("VWEX_FAIL"))
        parse_fail(v, config);
    if (const char *v = env("VWEX_BAD_CRC"))
        sensor.bad_crc = parse_frame("VWEX_BAD_CRC", v);
    if (const char *v = env("VWEX_FLIP"))
        parse_flip(v, sensor);
    if (const char *v = env("VWEX_STUCK"))
        config.stuck = parse_stuck(v);
    if (const char *v = env("VWEX_LATENCY_US"))
        config.latency_us = static_cast<unsigned>(parse_unsigned("VWEX_LATENCY_US", v, 10000000, false));
    if (const char *v = env("VWEX_TRACE"))
        config.trace_path = v;
    if (const char *v = env("VWEX_REPORT"))
        config.report_path = v;
    return config;
}

}  // namespace vmodule
