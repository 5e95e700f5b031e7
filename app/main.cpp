#include <cstdio>

#include "report_output.h"
#include "wex.h"
#include "wex_messages.h"

namespace {

double fahrenheit(double celsius)
{
    return celsius * 9.0 / 5.0 + 32.0;
}

int run()
{
    wex w{};
    if (wex_init(&w) != 0) {
        std::printf(wex_messages::init_failed);
        return -1;
    }
    if (wex_open(&w) != 0) {
        std::printf(wex_messages::open_step_failed);
        return -1;
    }
    if (wex_read_temp(&w) != 0) {
        wex_close(&w);
        std::printf(wex_messages::read_temp_failed);
        return -1;
    }
    if (wex_read_hum(&w) != 0) {
        wex_close(&w);
        std::printf(wex_messages::read_hum_failed);
        return -1;
    }
    std::printf(wex_messages::temperature_report, w.temperature, fahrenheit(w.temperature));
    std::printf(wex_messages::humidity_report, w.humidity);
    std::printf(wex_messages::dewpoint_report, w.dewpoint, fahrenheit(w.dewpoint));
    if (wex_close(&w) != 0) {
        std::printf(wex_messages::close_failed);
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
