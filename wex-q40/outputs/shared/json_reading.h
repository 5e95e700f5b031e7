// A reading as one JSON object, the same for json's output and mqtt's state.
#ifndef WEX_Q40_JSON_READING_H
#define WEX_Q40_JSON_READING_H

#include <ctime>
#include <nlohmann/json.hpp>
#include <string>

#include "acquire.h"

namespace wex_q40 {

// {"temperature", "humidity", "dewpoint" (null when not a number), ["calibration"], ["warning"], "time"};
// calibration: {"file", ["section"], "settings", "uncalibrated": the program's three values}.
nlohmann::ordered_json reading_object(const Reading &reading);

// {"error", ["advice"], "details", "time"} for a failed reading.
nlohmann::ordered_json failure_object(const Reading &reading);

// On one line, with anything that is not UTF-8 replaced.
std::string json_text(const nlohmann::ordered_json &object);

// Every object's "time": UTC, to the second.
std::string rfc3339(std::time_t time);

}  // namespace wex_q40

#endif
