#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>

#include "d2xx.h"
#include "line_script.h"
#include "module_facts.h"
#include "vwex.h"

using namespace vmodule;
using namespace sensor_model;
using wex_test::LineScript;
using wex_module::command_humidity;
using wex_module::command_temperature;
using wex_module::product_id;
using wex_module::vendor_id;

namespace {

using Bytes = std::vector<std::uint8_t>;

struct D2xxPort {
    FT_HANDLE handle = nullptr;
    void set_bit_mode(std::uint8_t mask, std::uint8_t mode) { FT_SetBitMode(handle, mask, mode); }
    void write(std::uint8_t levels)
    {
        std::uint32_t written = 0;
        FT_Write(handle, &levels, 1, &written);
    }
    std::uint8_t read_pins()
    {
        std::uint8_t pins = 0;
        FT_GetBitMode(handle, &pins);
        return pins;
    }
};

std::string slurp(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string temp_path(const char *name)
{
    std::string path = ::testing::TempDir() + name + std::to_string(getpid());
    std::remove(path.c_str());
    return path;
}

class D2xx : public ::testing::Test {
protected:
    void SetUp() override { vwex_configure(ModuleConfig{}); }

    FT_HANDLE open_module()
    {
        EXPECT_EQ(FT_SetVIDPID(vendor_id, product_id), FT_OK);
        FT_HANDLE handle = nullptr;
        EXPECT_EQ(FT_Open(0, &handle), FT_OK);
        return handle;
    }

    // The driver's whole run: open, temperature, humidity, close.
    std::vector<Bytes> reading()
    {
        D2xxPort port{open_module()};
        LineScript<D2xxPort> host{port};
        EXPECT_EQ(FT_SetTimeouts(port.handle, 25, 25), FT_OK);
        EXPECT_EQ(FT_SetBitMode(port.handle, 0xFF, 0xFF), FT_OK);
        host.data_release();
        host.clock_low();
        std::vector<Bytes> frames{host.measure(command_temperature), host.measure(command_humidity)};
        EXPECT_EQ(FT_Close(port.handle), FT_OK);
        return frames;
    }
};

TEST_F(D2xx, CleanReadingMakesItsCalls)
{
    EXPECT_EQ(reading(),
              (std::vector<Bytes>{{0x1B, 0x58, 0x9E}, {0x05, 0xDC, sensor_checksum_byte(command_humidity, 0x05, 0xDC)}}));
    const ModuleCounters counters = vwex_counters();
    EXPECT_EQ(counters.calls, wex_module::clean_reading_calls);
    EXPECT_EQ(counters.open_handles, 0u);
    EXPECT_EQ(counters.sensor.starts, 2u);
    EXPECT_EQ(counters.sensor.commands, 2u);
    EXPECT_EQ(counters.sensor.frames, 2u);
    EXPECT_EQ(counters.sensor.data_driven_high + counters.sensor.data_changed_clock_high + counters.chip.bad_bit_mode, 0u);

    const std::vector<Call> &calls = vwex_calls();
    ASSERT_EQ(calls.size(), wex_module::clean_reading_calls);
    EXPECT_EQ(calls[0].function, Function::set_vid_pid);
    EXPECT_EQ(calls[0].a, vendor_id);
    EXPECT_EQ(calls[0].b, product_id);
    EXPECT_EQ(calls[2].function, Function::set_timeouts);
    EXPECT_EQ(calls[2].c, 25u);
    EXPECT_EQ(calls[258].function, Function::close);
    EXPECT_EQ(calls[6].function, Function::write);
    EXPECT_EQ(calls[6].data, Bytes{0x01});
    EXPECT_EQ(calls[6].result, 1u);
}

TEST_F(D2xx, OpenFindsOnlyIndexZeroWithTheModulesIds)
{
    const struct {
        std::uint32_t vid, pid;
        int index;
        bool absent;
        FT_STATUS status;
    } cases[] = {
        {vendor_id, product_id, 0, false, FT_OK},
        {vendor_id, product_id, 1, false, FT_DEVICE_NOT_FOUND},
        {vendor_id, 0x6001, 0, false, FT_DEVICE_NOT_FOUND},
        {0x0000, 0x0000, 0, false, FT_DEVICE_NOT_FOUND},
        {vendor_id, product_id, 0, true, FT_DEVICE_NOT_FOUND},
    };
    for (const auto &c : cases) {
        ModuleConfig config;
        config.absent = c.absent;
        vwex_configure(config);
        if (c.vid)
            FT_SetVIDPID(c.vid, c.pid);
        FT_HANDLE handle = nullptr;
        EXPECT_EQ(FT_Open(c.index, &handle), c.status) << std::hex << c.pid << " index " << c.index;
        EXPECT_EQ(handle != nullptr, c.status == FT_OK);
        EXPECT_EQ(vwex_counters().open_handles, c.status == FT_OK ? 1u : 0u);
    }
    EXPECT_EQ(FT_Open(0, nullptr), FT_INVALID_PARAMETER);
}

TEST_F(D2xx, HandleValidFromOpenToCloseOnly)
{
    FT_HANDLE first = open_module();
    FT_HANDLE other = nullptr;
    EXPECT_EQ(FT_Open(0, &other), FT_DEVICE_NOT_OPENED);
    std::uint8_t pins = 0;
    std::uint32_t written = 0;
    EXPECT_EQ(FT_GetBitMode(first, nullptr), FT_INVALID_PARAMETER);
    EXPECT_EQ(FT_Write(first, nullptr, 1, &written), FT_INVALID_PARAMETER);
    EXPECT_EQ(FT_Write(first, &pins, 1, nullptr), FT_INVALID_PARAMETER);
    EXPECT_EQ(FT_Close(first), FT_OK);

    FT_HANDLE second = nullptr;
    ASSERT_EQ(FT_Open(0, &second), FT_OK);
    EXPECT_NE(second, first) << "a stale handle must not come back to life";
    const std::function<FT_STATUS(FT_HANDLE)> uses[] = {
        [](FT_HANDLE h) { return FT_SetTimeouts(h, 25, 25); },
        [](FT_HANDLE h) { return FT_SetBitMode(h, 0xFF, 0xFF); },
        [&](FT_HANDLE h) { return FT_GetBitMode(h, &pins); },
        [&](FT_HANDLE h) { return FT_Write(h, &pins, 1, &written); },
        [](FT_HANDLE h) { return FT_Close(h); },
    };
    for (const auto &use : uses) {
        EXPECT_EQ(use(first), FT_INVALID_HANDLE);
        EXPECT_EQ(use(nullptr), FT_INVALID_HANDLE);
    }
    EXPECT_EQ(vwex_counters().open_handles, 1u);
    EXPECT_EQ(FT_Close(second), FT_OK);
    EXPECT_EQ(FT_Close(second), FT_INVALID_HANDLE);
}

TEST_F(D2xx, FailedCallHasNoEffect)
{
    std::uint8_t clock = wex_module::clock_pin;
    std::uint8_t pins = 0x5A;
    std::uint32_t written = 7;
    FT_HANDLE handle = nullptr;
    const auto open = [&] { handle = open_module(); };
    const auto pins_now = [&] {
        std::uint8_t now = 0;
        FT_GetBitMode(handle, &now);
        return now;
    };
    const struct {
        Function function;
        FT_STATUS fault;
        std::function<void()> prepare;
        std::function<FT_STATUS()> call;
        std::function<void()> unchanged;
    } cases[] = {
        {Function::set_vid_pid, FT_IO_ERROR, [] {}, [] { return FT_SetVIDPID(vendor_id, product_id); },
         [&] { EXPECT_EQ(FT_Open(0, &handle), FT_DEVICE_NOT_FOUND) << "IDs not stored"; }},
        {Function::open, FT_DEVICE_NOT_FOUND, [] { FT_SetVIDPID(vendor_id, product_id); },
         [&] { return FT_Open(0, &handle); },
         [&] {
             EXPECT_EQ(handle, nullptr);
             EXPECT_EQ(vwex_counters().open_handles, 0u);
         }},
        {Function::set_timeouts, FT_IO_ERROR, open, [&] { return FT_SetTimeouts(handle, 25, 25); }, [] {}},
        {Function::set_bit_mode, FT_IO_ERROR, open, [&] { return FT_SetBitMode(handle, 0xFF, 0x01); },
         [&] {
             EXPECT_EQ(vwex_counters().chip.bad_bit_mode, 0u);
             EXPECT_EQ(pins_now(), 0xFF) << "pins still inputs";
         }},
        {Function::get_bit_mode, FT_IO_ERROR, open, [&] { return FT_GetBitMode(handle, &pins); },
         [&] { EXPECT_EQ(pins, 0x5A); }},
        {Function::write, FT_IO_ERROR,
         [&] {
             open();
             FT_SetBitMode(handle, 0xFF, 0xFF);
         },
         [&] { return FT_Write(handle, &clock, 1, &written); },
         [&] {
             EXPECT_EQ(written, 0u);
             EXPECT_EQ(pins_now(), 0x00) << "latch not written";
         }},
        {Function::close, FT_IO_ERROR, open, [&] { return FT_Close(handle); },
         [&] {
             EXPECT_EQ(FT_SetTimeouts(handle, 25, 25), FT_OK) << "handle still open";
             EXPECT_EQ(vwex_counters().open_handles, 1u);
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(vwex_function_name(c.function));
        ModuleConfig config;
        config.fail_function = c.function;
        config.fail_call = 1;
        vwex_configure(config);
        handle = nullptr;
        c.prepare();
        EXPECT_EQ(c.call(), c.fault);
        EXPECT_EQ(vwex_calls().back().status, c.fault);
        c.unchanged();
        if (c.function != Function::set_vid_pid) {
            EXPECT_EQ(c.call(), FT_OK) << "only the one call fails";
        }
    }
}

TEST_F(D2xx, AnyCountsEveryFunction)
{
    ModuleConfig config;
    config.fail_function = Function::any;
    config.fail_call = 3;
    vwex_configure(config);
    FT_HANDLE handle = open_module();
    EXPECT_EQ(FT_SetTimeouts(handle, 25, 25), FT_IO_ERROR);
    EXPECT_EQ(FT_SetTimeouts(handle, 25, 25), FT_OK);
}

TEST_F(D2xx, FailedSampleIsNotCountedAsBusy)
{
    ModuleConfig config;
    config.sensor.busy_samples = 1;
    config.fail_function = Function::get_bit_mode;
    config.fail_call = 1;
    vwex_configure(config);
    D2xxPort port{open_module()};
    LineScript<D2xxPort> host{port};
    host.open();
    host.start();
    host.write_byte(command_temperature);
    std::uint8_t pins = 0;
    EXPECT_EQ(FT_GetBitMode(port.handle, &pins), FT_IO_ERROR);
    EXPECT_EQ(host.wait_ready(), 2);
}

TEST_F(D2xx, TraceListsCallsAndMisuse)
{
    ModuleConfig config;
    config.trace_path = temp_path("vwex_trace");
    vwex_configure(config);
    FT_HANDLE handle = open_module();
    std::uint8_t levels = 0x03;
    std::uint32_t written = 0;
    FT_SetBitMode(handle, 0xFF, 0x01);
    FT_Write(handle, &levels, 1, &written);
    FT_Close(handle);
    vwex_configure(ModuleConfig{});

    char h[32];
    std::snprintf(h, sizeof h, "0x%X", static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(handle)));
    const std::string hs = h;
    EXPECT_EQ(slurp(config.trace_path),
              "FT_SetVIDPID(0x0403, 0xFBF9) = 0\n"
              "FT_Open(0) = 0 handle=" + hs + "\n"
              "FT_SetBitMode(" + hs + ", 0xFF, 0x01) = 0 pins=0x00\n"
              "misuse: bit mode other than 0xFF\n"
              "FT_Write(" + hs + ", [0x03], 1) = 0 written=1 pins=0x03\n"
              "misuse: data line driven high\n"
              "FT_Close(" + hs + ") = 0\n");
    std::remove(config.trace_path.c_str());
}

TEST_F(D2xx, ReportWrittenWhenTheLibraryUnloads)
{
    const std::string path = temp_path("vwex_report");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ModuleConfig config;
        config.report_path = path;
        vwex_configure(config);
        reading();
        std::exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(slurp(path),
              "calls=" + std::to_string(wex_module::clean_reading_calls) + "\nopen_handles=0\ndata_driven_high=0\ndata_changed_clock_high=0\n"
              "bad_bit_mode=0\nstarts=2\ncommands=2\nframes=2\n");
    std::remove(path.c_str());
}

TEST_F(D2xx, LatencyPerCall)
{
    ModuleConfig config;
    config.latency_us = 20000;
    vwex_configure(config);
    const auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; ++i)
        FT_SetVIDPID(vendor_id, product_id);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(100));
}

class Environment : public ::testing::Test {
protected:
    void SetUp() override { clear(); }
    void TearDown() override { clear(); }
    static void clear()
    {
        for (const char *name : {"VWEX_TEMP", "VWEX_RAW_TEMP", "VWEX_HUM", "VWEX_RAW_HUM", "VWEX_BUSY",
                                 "VWEX_MUTE", "VWEX_ABSENT", "VWEX_FAIL", "VWEX_BAD_CRC", "VWEX_FLIP",
                                 "VWEX_STUCK", "VWEX_LATENCY_US", "VWEX_TRACE", "VWEX_REPORT"})
            unsetenv(name);
    }
    static ModuleConfig with(std::initializer_list<std::pair<const char *, const char *>> vars)
    {
        clear();
        for (const auto &var : vars)
            setenv(var.first, var.second, 1);
        return vwex_config_from_env();
    }
};

TEST_F(Environment, Values)
{
    const ModuleConfig defaults = with({});
    EXPECT_EQ(defaults.sensor.raw_temperature, 7000);
    EXPECT_EQ(defaults.sensor.raw_humidity, 1500);
    EXPECT_EQ(defaults.fail_call, 0u);
    EXPECT_FALSE(defaults.absent);

    EXPECT_EQ(with({{"VWEX_TEMP", "25"}, {"VWEX_HUM", "40.568"}}).sensor.raw_humidity, 1200);
    EXPECT_EQ(with({{"VWEX_TEMP", "25"}}).sensor.raw_temperature, 6500);
    EXPECT_EQ(with({{"VWEX_RAW_TEMP", "0x1b58"}}).sensor.raw_temperature, 7000);
    EXPECT_EQ(with({{"VWEX_RAW_HUM", "1024"}}).sensor.raw_humidity, 1024);
    EXPECT_EQ(with({{"VWEX_BUSY", "12"}}).sensor.busy_samples, 12u);
    EXPECT_TRUE(with({{"VWEX_BUSY", "forever"}}).sensor.never_ready);
    EXPECT_TRUE(with({{"VWEX_MUTE", "1"}}).sensor.mute);
    EXPECT_TRUE(with({{"VWEX_ABSENT", "1"}}).absent);
    const ModuleConfig fail = with({{"VWEX_FAIL", "FT_GetBitMode:3"}});
    EXPECT_EQ(fail.fail_function, Function::get_bit_mode);
    EXPECT_EQ(fail.fail_call, 3u);
    EXPECT_EQ(with({{"VWEX_FAIL", "any:40"}}).fail_function, Function::any);
    for (unsigned f = 0; f <= static_cast<unsigned>(Function::any); ++f) {
        const auto function = static_cast<Function>(f);
        const std::string value = std::string(vwex_function_name(function)) + ":2";
        EXPECT_EQ(with({{"VWEX_FAIL", value.c_str()}}).fail_function, function) << "the trace's name " << value;
    }
    EXPECT_EQ(with({{"VWEX_BAD_CRC", "hum"}}).sensor.bad_crc, Frame::humidity);
    const ModuleConfig flip = with({{"VWEX_FLIP", "temp:23"}});
    EXPECT_EQ(flip.sensor.flip_frame, Frame::temperature);
    EXPECT_EQ(flip.sensor.flip_bit, 23);
    EXPECT_EQ(with({{"VWEX_STUCK", "high"}}).stuck, Stuck::high);
    EXPECT_EQ(with({{"VWEX_LATENCY_US", "250"}}).latency_us, 250u);
    EXPECT_EQ(with({{"VWEX_TRACE", "/tmp/t"}, {"VWEX_REPORT", "/tmp/r"}}).report_path, "/tmp/r");
}

TEST_F(Environment, BadValuesNameTheVariable)
{
    const std::pair<const char *, const char *> cases[] = {
        {"VWEX_TEMP", "warm"},       {"VWEX_RAW_TEMP", "65536"}, {"VWEX_RAW_HUM", "-1"},
        {"VWEX_RAW_HUM", "010x"},    {"VWEX_BUSY", "soon"},      {"VWEX_MUTE", "yes"},
        {"VWEX_ABSENT", "2"},        {"VWEX_FAIL", "FT_Read:1"}, {"VWEX_FAIL", "FT_Open:0"},
        {"VWEX_FAIL", "FT_Open"},    {"VWEX_BAD_CRC", "both"},   {"VWEX_FLIP", "temp:24"},
        {"VWEX_FLIP", "hum"},        {"VWEX_STUCK", "1"},        {"VWEX_LATENCY_US", "1e3"},
    };
    for (const auto &c : cases) {
        try {
            with({c});
            ADD_FAILURE() << c.first << "=" << c.second << " accepted";
        } catch (const std::invalid_argument &error) {
            EXPECT_EQ(std::string(error.what()).rfind(std::string(c.first) + ": ", 0), 0u) << error.what();
        }
    }
}

}  // namespace
