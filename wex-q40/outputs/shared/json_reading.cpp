#include "json_reading.h"

#include <chrono>
#include <ctime>

namespace wex_q40 {

namespace {

void add_values(nlohmann::ordered_json &object, const Values &values)
{
    object["temperature"] = values.temperature_c;
    object["humidity"] = values.humidity_percent;
    if (values.dewpoint_is_number)
        object["dewpoint"] = values.dewpoint_c;
    else
        object["dewpoint"] = nullptr;
}

nlohmann::ordered_json calibration_object(const Reading &r)
{
    nlohmann::ordered_json object;
    object["file"] = r.calibration.file;
    if (!r.calibration.section.empty())
        object["section"] = r.calibration.section;
    object["settings"] = r.calibration.settings_text();
    nlohmann::ordered_json uncalibrated;
    add_values(uncalibrated, r.program_values);
    object["uncalibrated"] = uncalibrated;
    return object;
}

}  // namespace

std::string rfc3339(std::time_t time)
{
    std::tm utc{};
    gmtime_r(&time, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::string json_text(const nlohmann::ordered_json &object)
{
    return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

nlohmann::ordered_json reading_object(const Reading &r)
{
    nlohmann::ordered_json object;
    add_values(object, r.values);
    if (r.calibration.changes_values())
        object["calibration"] = calibration_object(r);
    if (r.unclosed)
        object["warning"] = unclosed_warning;
    object["time"] = rfc3339(std::chrono::system_clock::to_time_t(r.taken));
    return object;
}

nlohmann::ordered_json failure_object(const Reading &r)
{
    nlohmann::ordered_json object;
    object["error"] = r.failure.summary;
    if (!r.failure.advice.empty())
        object["advice"] = r.failure.advice;
    object["details"] = r.failure.lines;
    object["time"] = rfc3339(std::time(nullptr));
    return object;
}

}  // namespace wex_q40
