#include <cstdio>

#include "report_output.h"
#include "wex.h"

namespace {

double fahrenheit(double celsius)
{
    return celsius * 9.0 / 5.0 + 32.0;
}

int run()
{
    wex w{};
    if (wex_init(&w) != 0) {
        std::printf("wex_init failed!\n");
        return -1;
    }
    if (wex_open(&w) != 0) {
        std::printf("wex_open failed!\n");
        return -1;
    }
    if (wex_read_temp(&w) != 0) {
        wex_close(&w);
        std::printf("wex_read_temp failed!\n");
        return -1;
    }
    if (wex_read_hum(&w) != 0) {
        wex_close(&w);
        std::printf("wex_read_hum failed!\n");
        return -1;
    }
    std::printf("Temperature: %.1fC, %.1fF\n", w.temperature, fahrenheit(w.temperature));
    std::printf("Humidity: %.1f%%\n", w.humidity);
    std::printf("Dewpoint: %.1fC, %.1fF\n", w.dewpoint, fahrenheit(w.dewpoint));
    if (wex_close(&w) != 0) {
        std::printf("wex_close failed!\n");
        return -1;
    }
    return 0;
}

}  // namespace

int main()
{
    report_output_begin();
    return report_output_end(run());
}
