#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "line_script.h"
#include "module_facts.h"

namespace {

struct Names {
    static std::string set_bit_mode(unsigned mask, unsigned mode)
    {
        return "mode " + std::to_string(mask) + "," + std::to_string(mode);
    }
    static std::string write(unsigned pins) { return "write " + std::to_string(pins); }
    static std::string read_pins() { return "read"; }
};

using Recorder = wex_test::Recorder<Names>;

std::vector<std::string> measurement(unsigned busy, std::vector<std::uint8_t> &bytes)
{
    Recorder recorder;
    recorder.busy = busy;
    wex_test::LineScript<Recorder> script{recorder};
    script.image = wex_module::data_pin;  // as a failed wait leaves it
    bytes = script.measure(wex_module::command_temperature);
    return recorder.traffic;
}

TEST(LineScript, BusySamplesLengthenTheWaitUpToTheDriversLimit)
{
    std::vector<std::uint8_t> bytes;
    const auto ready = measurement(0, bytes);
    EXPECT_EQ(bytes.size(), 3u);
    EXPECT_EQ(std::count(ready.begin(), ready.end(), "read"), 1 + 24);
    EXPECT_EQ(measurement(wex_module::wait_samples - 1, bytes).size(), ready.size() + wex_module::wait_samples - 1);
    EXPECT_EQ(bytes.size(), 3u);

    const auto never = measurement(wex_module::wait_samples, bytes);
    EXPECT_TRUE(bytes.empty());
    EXPECT_EQ(std::count(never.begin(), never.end(), "read"), static_cast<long>(wex_module::wait_samples));
    for (const auto &request : ready)
        if (request.rfind("write ", 0) == 0) {
            EXPECT_EQ(std::stoi(request.substr(6)) & wex_module::data_pin, 0) << "the data line driven high";
        }
}

}  // namespace
