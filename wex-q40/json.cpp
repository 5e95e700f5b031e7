#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

#include "commands.h"
#include "outputs.h"

namespace wex_q40 {

namespace {

std::string rfc3339_now()
{
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

void print(const nlohmann::ordered_json &object)
{
    std::printf("%s\n", object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
}

}  // namespace

void print_json_error(const std::string &error)
{
    nlohmann::ordered_json object;
    object["error"] = error;
    object["time"] = rfc3339_now();
    print(object);
}

int run_json(const Options &options, Clock::time_point deadline)
{
    const Reading r = take_reading(options, deadline);
    if (!r.good) {
        nlohmann::ordered_json object;
        object["error"] = r.problem;
        if (!r.advice.empty())
            object["advice"] = r.advice;
        object["details"] = r.lines;
        object["time"] = rfc3339_now();
        print(object);
        return exit_status::failed_reading;
    }
    nlohmann::ordered_json object;
    object["temperature"] = r.values.temperature_c;
    object["humidity"] = r.values.humidity_percent;
    if (r.values.dewpoint_is_number)
        object["dewpoint"] = r.values.dewpoint_c;
    else
        object["dewpoint"] = nullptr;
    if (r.unclosed)
        object["warning"] = unclosed_warning;
    object["time"] = rfc3339_now();
    print(object);
    return exit_status::good;
}

}  // namespace wex_q40
