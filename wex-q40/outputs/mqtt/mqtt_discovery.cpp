#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "json_reading.h"
#include "mqtt_parts.h"
#include "wex_version.h"

namespace wex_q40 {

namespace {

constexpr const char *product_name = "WEX-Q40";
constexpr const char *program_name = "wex-q40";
constexpr const char *problem_on = "ON";
constexpr const char *problem_off = "OFF";

enum class Kind { measurement, problem, last_reading };

struct Entity {
    const char *component;
    const char *key;  // in the state, the ids and the topic
    const char *name;
    const char *device_class;
    const char *unit;
    Kind kind;
};
constexpr Entity entities[] = {
    {"sensor", "temperature", "Temperature", "temperature", "\xc2\xb0"
                                                           "C",
     Kind::measurement},
    {"sensor", "humidity", "Humidity", "humidity", "%", Kind::measurement},
    {"sensor", "dewpoint", "Dew point", "temperature", "\xc2\xb0"
                                                      "C",
     Kind::measurement},
    {"binary_sensor", "problem", "Problem", "problem", nullptr, Kind::problem},
    {"sensor", "last_reading", "Last reading", "timestamp", nullptr, Kind::last_reading},
};

std::string config_topic(const MqttOptions &o, const std::string &node, const Entity &e)
{
    return o.discovery_prefix + "/" + e.component + "/" + node + "/" + e.key + "/config";
}

nlohmann::ordered_json device_of(const Identity &identity)
{
    nlohmann::ordered_json device;
    device["identifiers"] = {identity.node};
    device["name"] = std::string(product_name) + " " + identity.host;
    const ModuleIdentity module = identity.module.value_or(ModuleIdentity{});
    if (!module.manufacturer.empty())
        device["manufacturer"] = module.manufacturer;
    device["model"] = module.product.empty() ? product_name : module.product;
    if (!module.serial.empty())
        device["serial_number"] = module.serial;
    if (!module.hw_version.empty())
        device["hw_version"] = module.hw_version;
    device["sw_version"] = WEX_VERSION;
    return device;
}

// The values go unavailable when a reading fails or none comes within expire_after; the diagnostic entities stay.
void describe(nlohmann::ordered_json &config, const MqttOptions &o, const std::string &prefix, const Entity &e)
{
    switch (e.kind) {
    case Kind::measurement:
        config["state_topic"] = prefix + state_level;
        config["value_template"] = std::string("{{ value_json.") + e.key + " }}";
        config["device_class"] = e.device_class;
        config["unit_of_measurement"] = e.unit;
        config["state_class"] = "measurement";
        config["suggested_display_precision"] = 1;
        config["expire_after"] = o.expire_after_s;
        config["availability"] = {{{"topic", prefix + availability_level},
                                   {"payload_available", online},
                                   {"payload_not_available", offline}}};
        return;
    case Kind::problem:
        config["state_topic"] = prefix + problem_level;
        config["value_template"] = "{{ value_json.problem }}";
        config["payload_on"] = problem_on;
        config["payload_off"] = problem_off;
        config["device_class"] = e.device_class;
        config["json_attributes_topic"] = prefix + problem_level;
        config["expire_after"] = o.expire_after_s;
        break;
    case Kind::last_reading:
        config["state_topic"] = prefix + last_reading_level;
        config["device_class"] = e.device_class;
        break;
    }
    config["entity_category"] = "diagnostic";
}

std::vector<std::string> read_by(const std::string &prefix, const Entity &e)
{
    if (e.kind == Kind::measurement)
        return {prefix + state_level, prefix + availability_level};
    return {prefix + (e.kind == Kind::problem ? problem_level : last_reading_level)};
}

}  // namespace

Identity identity_of(const std::string &prefix, const std::string &host, const std::optional<ModuleIdentity> &module,
                     const std::string &device_id)
{
    const std::string name = std::string(program_name) + "/";
    if (!device_id.empty())
        return {node_id(name + device_id), host, module};
    if (module && !module->serial.empty())
        return {node_id(name + module->serial), host, module};
    // Clones without a serial number: this host's module at this place on the bus.
    if (module && !module->bus_path.empty())
        return {node_id(name + host + "/" + module->bus_path), host, module};
    return {node_id(prefix), host, module};
}

std::vector<std::string> config_topics(const MqttOptions &o, const std::string &node)
{
    std::vector<std::string> topics;
    for (const Entity &e : entities)
        topics.push_back(config_topic(o, node, e));
    return topics;
}

std::vector<Message> discovery(const MqttOptions &o, const std::string &prefix, const Identity &identity)
{
    nlohmann::ordered_json origin;
    origin["name"] = program_name;
    origin["sw_version"] = WEX_VERSION;
    std::vector<Message> messages;
    for (const Entity &e : entities) {
        nlohmann::ordered_json config;
        config["name"] = e.name;
        config["unique_id"] = identity.node + "_" + e.key;
        describe(config, o, prefix, e);
        config["device"] = device_of(identity);
        config["origin"] = origin;
        messages.push_back({config_topic(o, identity.node, e), json_text(config), 0, read_by(prefix, e)});
    }
    return messages;
}

// The values and online expire with expire_after, so that a broker never hands out a reading older than that;
// offline and the last good reading's time stay until replaced.
std::vector<Message> outcome(const MqttOptions &o, const std::string &prefix, const Reading &r)
{
    const unsigned expiry = o.expire_after_s;
    nlohmann::ordered_json problem;
    if (!r.good) {
        problem["problem"] = problem_on;
        problem["summary"] = r.failure.summary;
        if (!r.failure.advice.empty())
            problem["advice"] = r.failure.advice;
        problem["time"] = failure_object(r)["time"];
        return {{prefix + availability_level, offline}, {prefix + problem_level, json_text(problem), expiry},
                {prefix + error_level, r.failure.summary}};
    }
    const nlohmann::ordered_json state = reading_object(r);
    problem["problem"] = problem_off;
    problem["time"] = state["time"];
    return {{prefix + state_level, json_text(state), expiry},
            {prefix + last_reading_level, state["time"].get<std::string>()},
            {prefix + availability_level, online, expiry},
            {prefix + problem_level, json_text(problem), expiry},
            {prefix + error_level, ""}};
}

std::vector<Message> cleared_configurations(const MqttOptions &o, const std::vector<std::string> &nodes)
{
    std::vector<Message> messages;
    for (const std::string &node : nodes)
        for (const std::string &topic : config_topics(o, node))
            messages.push_back({topic, ""});
    return messages;
}

std::vector<Message> cleared_state(const std::string &prefix)
{
    std::vector<Message> messages;
    for (const char *level : {state_level, last_reading_level, availability_level, problem_level, error_level})
        messages.push_back({prefix + level, ""});
    return messages;
}

}  // namespace wex_q40
