// Times readings of the real program through the open backend, libftdi1 and
// libusb under the USB emulator, with the module as it really is: 1 or 2 ms
// per transfer and the sensor's typical or maximum conversion times.
// usage: wex_usb_bench [readings]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "child_run.h"
#include "emulator.h"

namespace {

struct Row {
    const char *conversion;
    sensor_model::ConversionTimes times;
    unsigned latency_us;
};

constexpr double time_limit_s = 10.0;

}  // namespace

int main(int argc, char **argv)
{
    char *end = nullptr;
    const long readings = argc > 1 ? std::strtol(argv[1], &end, 10) : 10;
    if (readings < 1 || readings > 10000 || (end != nullptr && *end != '\0')) {
        std::fprintf(stderr, "usage: wex_usb_bench [readings]\n");
        return 2;
    }
    try {
        usbemu::run_under_preload(argv);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "wex_usb_bench: %s\n", e.what());
        return 1;
    }
    const Row rows[] = {
        {"typical", sensor_model::typical_conversion, 1000},
        {"maximum", sensor_model::maximum_conversion, 1000},
        {"maximum", sensor_model::maximum_conversion, 2000},
    };
    std::printf("%ld readings each, wex_q40_test under the USB emulator; wall time per reading in ms\n", readings);
    std::printf("%-14s %-11s %9s %9s\n", "latency/call", "conversion", "mean", "max");
    for (const Row &row : rows) {
        usbemu::Config config;
        config.sensor = usbemu::timed_sensor(row.times);
        config.latency = std::chrono::microseconds(row.latency_us);
        const usbemu::Emulator emulator(config);
        // No stand-in libftd2xx.so on the search path, so that the program takes the open backend.
        const std::vector<std::string> env =
            wex_test::environment_with({"UMOCKDEV_DIR=" + emulator.root_dir()}, {"LD_LIBRARY_PATH"});
        std::vector<double> ms;
        for (long i = 0; i < readings; ++i) {
            const wex_test::ChildRun run = wex_test::run_child({WEX_PROGRAM}, env, time_limit_s);
            if (run.status != 0) {
                std::fprintf(stderr, "wex_usb_bench: a reading failed:\n%s", run.out.c_str());
                return 1;
            }
            ms.push_back(run.seconds * 1e3);
        }
        double sum = 0;
        for (const double x : ms)
            sum += x;
        std::printf("%11.3f ms %-11s %9.1f %9.1f\n", row.latency_us / 1000.0, row.conversion,
                    sum / static_cast<double>(ms.size()), *std::max_element(ms.begin(), ms.end()));
    }
    return 0;
}
