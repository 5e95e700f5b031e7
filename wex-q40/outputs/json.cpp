#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

#include "json_reading.h"
#include "outputs.h"

namespace wex_q40 {

namespace {

void print(const nlohmann::ordered_json &object)
{
    std::printf("%s\n", json_text(object).c_str());
}

}  // namespace

void print_json_error(const std::string &error)
{
    nlohmann::ordered_json object;
    object["error"] = error;
    object["time"] = rfc3339(std::time(nullptr));
    print(object);
}

int run_json(const ReadingOptions &reading, const Budget &budget)
{
    const Reading r = take_reading(reading, budget);
    print(r.good ? reading_object(r) : failure_object(r));
    return r.good ? exit_status::good : exit_status::failed_reading;
}

}  // namespace wex_q40
