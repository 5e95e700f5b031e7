#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "json_reading.h"
#include "mqtt.h"
#include "wex_version.h"

namespace wex_q40 {

namespace {

constexpr std::size_t longest_topic = 65535;
constexpr unsigned char delete_character = 0x7f;
constexpr unsigned last_c1_control = 0x9f;

struct Sensor {
    const char *key;  // in the state and the ids
    const char *name;
    const char *device_class;
    const char *unit;
};
constexpr Sensor sensors[] = {
    {"temperature", "Temperature", "temperature", "\xc2\xb0"
                                                  "C"},
    {"humidity", "Humidity", "humidity", "%"},
    {"dewpoint", "Dew point", "temperature", "\xc2\xb0"
                                             "C"},
};

// The length of the UTF-8 sequence at text[at] and its code point; 0 when it is not one.
std::size_t utf8_sequence(std::string_view text, std::size_t at, unsigned &point)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned lead = byte(at);
    const std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xe ? 3 : (lead >> 3) == 0x1e ? 4 : 0;
    if (length == 0 || at + length > text.size())
        return 0;
    point = length == 1 ? lead : lead & (0x7fu >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xc0) != 0x80)
            return 0;
        point = point << 6 | (byte(at + i) & 0x3f);
    }
    constexpr unsigned shortest[] = {0, 0, 0x80, 0x800, 0x10000};
    const bool surrogate = point >= 0xd800 && point <= 0xdfff;
    return point < shortest[length] || surrogate || point > 0x10ffff ? 0 : length;
}

// Empty when the text may stand in an MQTT topic name.
std::string topic_fault(std::string_view text)
{
    if (text.size() > longest_topic)
        return "longer than 65535 bytes";
    for (std::size_t at = 0; at < text.size();) {
        unsigned point = 0;
        const std::size_t length = utf8_sequence(text, at, point);
        if (length == 0)
            return "not UTF-8";
        if (point == '+' || point == '#')
            return "a wildcard, + or #";
        if (point < ' ' || (point >= delete_character && point <= last_c1_control))
            return "a control character";
        at += length;
    }
    return {};
}

// Bytes that are not printable ASCII as \xNN, so that the message stays one readable line.
std::string shown(std::string_view text)
{
    std::string out;
    for (const char c : text) {
        if (c >= ' ' && c < static_cast<char>(delete_character)) {
            out += c;
        } else {
            std::array<char, 5> escaped{};
            std::snprintf(escaped.data(), escaped.size(), "\\x%02x", static_cast<unsigned char>(c));
            out += escaped.data();
        }
    }
    return out;
}

std::string config_topic(const MqttOptions &o, const std::string &node, const Sensor &s)
{
    return o.discovery_prefix + "/sensor/" + node + "/" + s.key + "/config";
}

}  // namespace

std::string check_topics(const MqttOptions &o, const std::string &prefix, const std::string &host)
{
    const bool host_made = o.prefix.empty();
    const struct {
        const char *part;
        const std::string &text;
    } parts[] = {
        {host_made ? "the host name" : "the prefix (--prefix)", host_made ? host : prefix},
        {"the discovery prefix (--discovery-prefix)", o.discovery_prefix},
    };
    for (const auto &p : parts)
        if (const std::string fault = topic_fault(p.text); !fault.empty())
            return p.part + std::string(" is not valid in an MQTT topic (") + fault + "): " + shown(p.text);
    std::size_t longest = (prefix + "/state").size();
    for (const Sensor &s : sensors)
        longest = std::max(longest, config_topic(o, node_id(prefix), s).size());
    if (longest > longest_topic)
        return "the topics made from the prefix are longer than 65535 bytes";
    return {};
}

// Home Assistant takes only letters, digits, - and _ in a node id: a / becomes _, but the second of two becomes
// __2f, and any other byte __ and its two hex digits, so that no two prefixes make the same id.
std::string node_id(const std::string &prefix)
{
    std::string id;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        const auto c = static_cast<unsigned char>(prefix[i]);
        if (std::isalnum(c) != 0 || c == '-') {
            id += static_cast<char>(c);
        } else if (c == '/' && (i == 0 || prefix[i - 1] != '/')) {
            id += '_';
        } else {
            std::array<char, 5> escaped{};
            std::snprintf(escaped.data(), escaped.size(), "__%02x", c);
            id += escaped.data();
        }
    }
    return id;
}

std::vector<Message> discovery(const MqttOptions &o, const std::string &prefix, const std::string &host)
{
    const std::string node = node_id(prefix);
    nlohmann::ordered_json device;
    device["identifiers"] = {node};
    device["name"] = "WEX-Q40 " + host;
    device["model"] = "WEX-Q40";
    device["sw_version"] = WEX_VERSION;
    std::vector<Message> messages;
    for (const Sensor &s : sensors) {
        nlohmann::ordered_json config;
        config["name"] = s.name;
        config["unique_id"] = node + "_" + s.key;
        config["state_topic"] = prefix + "/state";
        config["value_template"] = std::string("{{ value_json.") + s.key + " }}";
        config["device_class"] = s.device_class;
        config["unit_of_measurement"] = s.unit;
        config["state_class"] = "measurement";
        config["suggested_display_precision"] = 1;
        config["expire_after"] = o.expire_after_s;
        config["device"] = device;
        messages.push_back({config_topic(o, node, s), json_text(config)});
    }
    return messages;
}

}  // namespace wex_q40
