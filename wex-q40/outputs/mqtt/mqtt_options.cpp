// mqtt's own options.
#include <string_view>

#include "mqtt.h"

namespace wex_q40 {

namespace {

constexpr unsigned largest_port = 65535;
constexpr unsigned longest_expiry_s = 86400;

template <std::string MqttOptions::*slot>
std::string set_value(MqttOptions &o, const char *value, const std::string &named)
{
    return set_path(o.*slot, value, named);
}

// A wildcard would make the broker refuse the publication, an outer slash an empty level.
template <std::string MqttOptions::*slot>
std::string set_topic(MqttOptions &o, const char *value, const std::string &named)
{
    const std::string_view topic = value;
    if (topic.empty() || topic.find_first_of("+#") != std::string_view::npos || topic.front() == '/' ||
        topic.back() == '/')
        return named + " needs a topic without +, # or a / at either end: " + value;
    o.*slot = value;
    return {};
}

std::string set_port(MqttOptions &o, const char *value, const std::string &named)
{
    return set_count(o.port, value, named, 1, largest_port, "a port number from 1 to 65535");
}

std::string set_remove(MqttOptions &o, const char *, const std::string &)
{
    o.remove = true;
    return {};
}

std::string set_expiry(MqttOptions &o, const char *value, const std::string &named)
{
    return set_count(o.expire_after_s, value, named, 1, longest_expiry_s, "a whole number of seconds above 0");
}

}  // namespace

const std::array<OptionRow<MqttOptions>, 9> mqtt_rows{{
    {{"host", 0, "HOST", "the broker", "localhost", nullptr, false}, set_value<&MqttOptions::host>},
    {{"port", 0, "PORT", "its port", "1883", nullptr, false}, set_port},
    {{"cafile", 0, "FILE", "TLS, the broker's certificate checked against the CA in FILE", nullptr, nullptr, false},
     set_value<&MqttOptions::cafile>},
    {{"credentials", 0, "FILE", "the user name on the first line of FILE, the password on the second", nullptr,
      nullptr, false},
     set_value<&MqttOptions::credentials>},
    {{"prefix", 0, "TOPIC", "the state and error topics' prefix, by default wex-q40/HOSTNAME", nullptr, nullptr, false},
     set_topic<&MqttOptions::prefix>},
    {{"discovery-prefix", 0, "TOPIC", "Home Assistant's", "homeassistant", nullptr, false},
     set_topic<&MqttOptions::discovery_prefix>},
    // Five missed readings of the minutely timer make the entities unavailable.
    {{"expire-after", 0, "SECONDS", "the entities become unavailable without a newer reading", "300", nullptr, false},
     set_expiry},
    {{"device-id", 0, "ID", "the device in Home Assistant, by default the module's serial number", nullptr, nullptr,
      false},
     set_value<&MqttOptions::device_id>},
    {{"remove", 0, nullptr, "take no reading; remove the device from Home Assistant and clear the retained messages",
      nullptr, nullptr, false},
     set_remove},
}};

}  // namespace wex_q40
