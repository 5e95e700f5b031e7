#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <string>
#include <string_view>

#include "mqtt_parts.h"

namespace wex_q40 {

namespace {

constexpr std::size_t longest_topic = 65535;
constexpr unsigned char delete_character = 0x7f;
constexpr unsigned last_c1_control = 0x9f;

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

}  // namespace

std::string check_topics(const MqttOptions &o, const std::string &prefix, const Identity &identity)
{
    const std::string &host = identity.host;
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
    std::size_t longest = (prefix + last_reading_level).size();
    for (const std::string &node : {identity.node, node_id(prefix)})
        for (const std::string &topic : config_topics(o, node))
            longest = std::max(longest, topic.size());
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

}  // namespace wex_q40
