// Whose state a retained discovery configuration reads, so that one module's device is published by one prefix.
#include <nlohmann/json.hpp>
#include <string>

#include "mqtt_parts.h"

namespace wex_q40 {

std::string state_topic_of(const std::string &configuration)
{
    const nlohmann::json config = nlohmann::json::parse(configuration, nullptr, false);
    if (!config.is_object() || !config.contains("state_topic") || !config["state_topic"].is_string())
        return {};
    return config["state_topic"].get<std::string>();
}

bool reads_prefix(const std::string &configuration, const std::string &prefix)
{
    const std::string state = state_topic_of(configuration);
    for (const char *level : {state_level, problem_level, last_reading_level})
        if (state == prefix + level)
            return true;
    return false;
}

// The line names the fix for each way a device comes to be another's: the module moved here, or two modules share a
// serial number.
std::string owned_elsewhere(const std::string &node, const std::string &topic, const std::string &configuration)
{
    const std::string state = state_topic_of(configuration);
    std::string other;
    for (const std::string level : {state_level, problem_level, last_reading_level})
        if (state.size() > level.size() && state.compare(state.size() - level.size(), level.size(), level) == 0)
            other = state.substr(0, state.size() - level.size());
    const std::string another_module = "give this module a device of its own with --device-id ID";
    if (other.empty())
        return "the device " + node + " is another program's (" + topic + " reads " +
               (state.empty() ? "no state topic" : state) + "): " + another_module;
    return "the device " + node + " is published under " + other + " (" + topic + " reads " + state +
           "): if this module moved here, clear it with --remove --prefix " + other + "; else " + another_module;
}

}  // namespace wex_q40
