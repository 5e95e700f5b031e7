#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mqtt_parts.h"

namespace wex_q40 {

namespace {

constexpr int keepalive_s = 60;
constexpr int qos = 1;
constexpr std::chrono::milliseconds longest_wait{100};
// From this code up a CONNACK or PUBACK says no; below it a PUBACK is a success (16: no subscriber yet).
constexpr int first_failure_code = 0x80;

using Heard = Session::Heard;

void on_connect(mosquitto * /*client*/, void *heard, int code)
{
    static_cast<Heard *>(heard)->connack = code;
}

void on_publish(mosquitto * /*client*/, void *heard, int mid, int reason, const mosquitto_property * /*properties*/)
{
    Heard &h = *static_cast<Heard *>(heard);
    const auto message = h.unacknowledged.find(mid);
    if (message == h.unacknowledged.end())
        return;
    if (reason >= first_failure_code)
        h.refused.push_back({message->second, reason});
    h.unacknowledged.erase(message);
}

void on_message(mosquitto * /*client*/, void *heard, const mosquitto_message *m)
{
    if (m->retain && m->payloadlen > 0)
        static_cast<Heard *>(heard)->retained[m->topic] =
            std::string(static_cast<const char *>(m->payload), static_cast<std::size_t>(m->payloadlen));
}

void on_subscribe(mosquitto * /*client*/, void *heard, int mid, int /*count*/, const int * /*granted*/)
{
    static_cast<Heard *>(heard)->answered_mid = mid;
}

void on_unsubscribe(mosquitto * /*client*/, void *heard, int mid)
{
    static_cast<Heard *>(heard)->answered_mid = mid;
}

void on_disconnect(mosquitto * /*client*/, void *heard, int /*code*/)
{
    static_cast<Heard *>(heard)->disconnected = true;
}

void on_log(mosquitto * /*client*/, void *heard, int level, const char *text)
{
    const char *detail = std::strstr(text, "]: ");
    if (level == MOSQ_LOG_ERR && std::string_view(text).rfind("OpenSSL Error", 0) == 0 && detail != nullptr)
        static_cast<Heard *>(heard)->tls_error = detail + 3;
}

}  // namespace

Session::Session(const MqttLibrary &library, const Broker &b, const Credentials &c, Clock::time_point until)
    : l(library), broker(b), credentials(c), deadline(until), start(Clock::now())
{
}

Session::~Session()
{
    if (client != nullptr)
        l.destroy(client);
}

// MQTT 5 says which messages the broker refused; 3.1.1 only when the broker speaks nothing newer.
std::string Session::connect(const std::optional<Message> &will)
{
    std::string error = connect_as(MQTT_PROTOCOL_V5, will);
    if (refused_version)
        error = connect_as(MQTT_PROTOCOL_V311, will);
    return error;
}

std::string Session::connect_as(int version, const std::optional<Message> &will)
{
    if (client != nullptr)
        l.destroy(client);
    heard = Heard{};
    refused_version = false;
    protocol = version;
    client = l.create(nullptr, true, &heard);
    if (client == nullptr)
        return "cannot make an MQTT client: " + std::string(std::strerror(errno));
    l.int_option(client, MOSQ_OPT_PROTOCOL_VERSION, protocol);
    if (will) {
        const int rc = l.will_set(client, will->topic.c_str(), static_cast<int>(will->payload.size()),
                                  will->payload.data(), qos, true, nullptr);
        if (rc != MOSQ_ERR_SUCCESS)
            return failure(("cannot publish to " + will->topic + " on the broker ").c_str(), rc);
    }
    l.connect_callback_set(client, on_connect);
    l.publish_callback_set(client, on_publish);
    l.message_callback_set(client, on_message);
    l.subscribe_callback_set(client, on_subscribe);
    l.unsubscribe_callback_set(client, on_unsubscribe);
    l.disconnect_callback_set(client, on_disconnect);
    l.log_callback_set(client, on_log);
    if (!credentials.user.empty())
        l.username_pw_set(client, credentials.user.c_str(),
                          credentials.has_password ? credentials.password.c_str() : nullptr);
    if (broker.tls_context != nullptr) {
        l.int_option(client, MOSQ_OPT_SSL_CTX_WITH_DEFAULTS, 0);
        l.void_option(client, MOSQ_OPT_SSL_CTX, broker.tls_context);
    }
    const int rc = l.connect_async(client, broker.address.c_str(), broker.port, keepalive_s);
    if (rc != MOSQ_ERR_SUCCESS)
        return failure("cannot connect to the broker ", rc);
    if (std::string error = wait([this] { return heard.connack >= 0; }); !error.empty())
        return error;
    if (heard.connack == 0)
        return {};
    const bool v5 = protocol == MQTT_PROTOCOL_V5;
    refused_version = v5 && (heard.connack == CONNACK_REFUSED_PROTOCOL_VERSION ||
                             heard.connack == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION);
    return "the broker " + broker.where + " refused the connection: " +
           (v5 && heard.connack >= first_failure_code ? l.reason_string(heard.connack)
                                                      : l.connack_string(heard.connack));
}

// MQTT marks no end of the retained messages: a broker sends them after its answer to the subscription and, as
// mosquitto does, before its answer to the unsubscription that follows.
std::string Session::read_retained(const std::vector<std::string> &topics, std::map<std::string, std::string> &found)
{
    std::vector<char *> filters;
    filters.reserve(topics.size());
    for (const std::string &topic : topics)
        filters.push_back(const_cast<char *>(topic.c_str()));
    heard.retained.clear();
    int mid = 0;
    int rc = l.subscribe(client, &mid, static_cast<int>(filters.size()), filters.data(), 0, 0, nullptr);
    if (rc != MOSQ_ERR_SUCCESS)
        return failure("cannot read the retained configurations on the broker ", rc);
    if (std::string error = wait([this, mid] { return heard.answered_mid == mid; }); !error.empty())
        return error;
    rc = l.unsubscribe(client, &mid, static_cast<int>(filters.size()), filters.data(), nullptr);
    if (rc != MOSQ_ERR_SUCCESS)
        return failure("cannot read the retained configurations on the broker ", rc);
    if (std::string error = wait([this, mid] { return heard.answered_mid == mid; }); !error.empty())
        return error;
    found = heard.retained;
    return {};
}

std::string Session::send(const std::vector<Message> &messages, std::vector<Refusal> &refused)
{
    heard.refused.clear();
    for (const Message &m : messages) {
        // A 3.1.1 broker keeps a message until it is replaced: the expiry is MQTT 5's.
        mosquitto_property *properties = nullptr;
        int rc = MOSQ_ERR_SUCCESS;
        if (m.expiry_s != 0 && protocol == MQTT_PROTOCOL_V5)
            rc = l.property_add_int32(&properties, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL, m.expiry_s);
        int mid = 0;
        if (rc == MOSQ_ERR_SUCCESS)
            rc = l.publish(client, &mid, m.topic.c_str(), static_cast<int>(m.payload.size()), m.payload.data(), qos,
                           true, properties);
        l.property_free_all(&properties);
        if (rc != MOSQ_ERR_SUCCESS)
            return failure(("cannot publish to " + m.topic + " on the broker ").c_str(), rc);
        heard.unacknowledged[mid] = m.topic;
    }
    std::string error = wait([this] { return heard.unacknowledged.empty(); });
    refused = heard.refused;
    return error;
}

std::string Session::disconnect()
{
    l.disconnect(client);
    return wait([this] { return heard.disconnected; });
}

std::string Session::reason_text(int reason) const
{
    return l.reason_string(reason);
}

// The handshake ends in the connection or later, as it happens: its failure reads the same in both.
std::string Session::failure(const char *doing, int rc) const
{
    if (rc == MOSQ_ERR_TLS)
        return "TLS with the broker " + broker.where + " failed: " +
               (heard.tls_error.empty() ? std::string(l.strerror(rc)) : heard.tls_error);
    return doing + broker.where + ": " + (rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : l.strerror(rc));
}

template <typename Done>
std::string Session::wait(Done done)
{
    while (!done()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return "no answer from the broker " + broker.where + " within " + seconds_text(deadline - start) + " s";
        const int rc = l.loop(client, static_cast<int>(std::min(left, longest_wait).count()), 1);
        // A refusal and the end of the connection come with the answer waited for.
        if (done())
            break;
        // The library reads a 3.1.1 broker's refusal of MQTT 5 as a protocol error.
        refused_version = rc == MOSQ_ERR_PROTOCOL && heard.connack < 0 && protocol == MQTT_PROTOCOL_V5;
        if (rc != MOSQ_ERR_SUCCESS)
            return failure("lost the connection to the broker ", rc);
    }
    return {};
}

}  // namespace wex_q40
