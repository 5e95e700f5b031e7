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

#include "mqtt.h"

namespace wex_q40 {

namespace {

constexpr int keepalive_s = 60;
constexpr int qos = 1;
constexpr std::chrono::milliseconds longest_wait{100};
// From this code up a CONNACK or PUBACK says no; below it a PUBACK is a success (16: no subscriber yet).
constexpr int first_failure_code = 0x80;

struct Refusal {
    std::string topic;
    int reason = 0;
};

struct Session {
    int connack = -1;  // -1: no answer yet
    std::map<int, std::string> unacknowledged;  // the topic of each message id
    std::vector<Refusal> refused;
    bool disconnected = false;
    std::string tls_error;  // the library's last word on a failed handshake
};

void on_connect(mosquitto * /*client*/, void *session, int code)
{
    static_cast<Session *>(session)->connack = code;
}

void on_publish(mosquitto * /*client*/, void *session, int mid, int reason, const mosquitto_property * /*properties*/)
{
    Session &s = *static_cast<Session *>(session);
    const auto message = s.unacknowledged.find(mid);
    if (message == s.unacknowledged.end())
        return;
    if (reason >= first_failure_code)
        s.refused.push_back({message->second, reason});
    s.unacknowledged.erase(message);
}

void on_disconnect(mosquitto * /*client*/, void *session, int /*code*/)
{
    static_cast<Session *>(session)->disconnected = true;
}

void on_log(mosquitto * /*client*/, void *session, int level, const char *text)
{
    const char *detail = std::strstr(text, "]: ");
    if (level == MOSQ_LOG_ERR && std::string_view(text).rfind("OpenSSL Error", 0) == 0 && detail != nullptr)
        static_cast<Session *>(session)->tls_error = detail + 3;
}

class Publisher {
  public:
    Publisher(const MqttLibrary &library, const Broker &broker, int version)
        : l(library), b(broker), protocol(version), where(broker.where)
    {
        client = l.create(nullptr, true, &session);
        if (client != nullptr)
            l.int_option(client, MOSQ_OPT_PROTOCOL_VERSION, protocol);
    }
    Publisher(const Publisher &) = delete;
    Publisher &operator=(const Publisher &) = delete;
    ~Publisher()
    {
        if (client != nullptr)
            l.destroy(client);
    }

    // A broker of MQTT 3.1.1 or older turned MQTT 5 away.
    bool version_refused() const { return refused_version; }

    // Empty when the broker took every message and the connection ended cleanly.
    std::string publish(const Credentials &c, const std::vector<Message> &messages, const std::optional<Message> &will,
                        Clock::time_point deadline)
    {
        start = Clock::now();
        if (client != nullptr && will) {
            const int rc = l.will_set(client, will->topic.c_str(), static_cast<int>(will->payload.size()),
                                      will->payload.data(), qos, true, nullptr);
            if (rc != MOSQ_ERR_SUCCESS)
                return failure(("cannot publish to " + will->topic + " on the broker ").c_str(), rc);
        }
        if (std::string error = connect(c, deadline); !error.empty())
            return error;
        for (const Message &m : messages) {
            int mid = 0;
            if (const int rc = send(m, mid); rc != MOSQ_ERR_SUCCESS)
                return failure(("cannot publish to " + m.topic + " on the broker ").c_str(), rc);
            session.unacknowledged[mid] = m.topic;
        }
        std::string error = wait(deadline, [this] { return session.unacknowledged.empty(); });
        if (error.empty()) {
            l.disconnect(client);
            error = wait(deadline, [this] { return session.disconnected; });
        }
        return session.refused.empty() ? error : refusal();
    }

  private:
    // A 3.1.1 broker keeps a message until it is replaced: the expiry is MQTT 5's.
    int send(const Message &m, int &mid)
    {
        mosquitto_property *properties = nullptr;
        if (m.expiry_s != 0 && protocol == MQTT_PROTOCOL_V5) {
            const int rc = l.property_add_int32(&properties, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL, m.expiry_s);
            if (rc != MOSQ_ERR_SUCCESS)
                return rc;
        }
        const int rc = l.publish(client, &mid, m.topic.c_str(), static_cast<int>(m.payload.size()), m.payload.data(),
                                 qos, true, properties);
        l.property_free_all(&properties);
        return rc;
    }

    std::string connect(const Credentials &c, Clock::time_point deadline)
    {
        if (client == nullptr)
            return "cannot make an MQTT client: " + std::string(std::strerror(errno));
        l.connect_callback_set(client, on_connect);
        l.publish_callback_set(client, on_publish);
        l.disconnect_callback_set(client, on_disconnect);
        l.log_callback_set(client, on_log);
        if (!c.user.empty())
            l.username_pw_set(client, c.user.c_str(), c.has_password ? c.password.c_str() : nullptr);
        if (b.tls_context != nullptr) {
            l.int_option(client, MOSQ_OPT_SSL_CTX_WITH_DEFAULTS, 0);
            l.void_option(client, MOSQ_OPT_SSL_CTX, b.tls_context);
        }
        const int rc = l.connect_async(client, b.address.c_str(), b.port, keepalive_s);
        if (rc != MOSQ_ERR_SUCCESS)
            return failure("cannot connect to the broker ", rc);
        if (std::string error = wait(deadline, [this] { return session.connack >= 0; }); !error.empty())
            return error;
        if (session.connack == 0)
            return {};
        const bool v5 = protocol == MQTT_PROTOCOL_V5;
        refused_version = v5 && (session.connack == CONNACK_REFUSED_PROTOCOL_VERSION ||
                                 session.connack == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION);
        return "the broker " + where + " refused the connection: " +
               (v5 && session.connack >= first_failure_code ? l.reason_string(session.connack)
                                                             : l.connack_string(session.connack));
    }

    std::string refusal() const
    {
        const Refusal &first = session.refused.front();
        const std::size_t others = session.refused.size() - 1;
        return "the broker " + where + " refused " + first.topic +
               (others == 0 ? std::string() : " and " + std::to_string(others) + " more") + ": " +
               l.reason_string(first.reason);
    }

    // The handshake ends in the connection or later, as it happens: its failure reads the same in both.
    std::string failure(const char *doing, int rc) const
    {
        if (rc == MOSQ_ERR_TLS)
            return "TLS with the broker " + where + " failed: " +
                   (session.tls_error.empty() ? std::string(l.strerror(rc)) : session.tls_error);
        return doing + where + ": " + (rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : l.strerror(rc));
    }

    template <typename Done>
    std::string wait(Clock::time_point deadline, Done done)
    {
        while (!done()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return "no answer from the broker " + where + " within " + seconds_text(deadline - start) + " s";
            const int rc = l.loop(client, static_cast<int>(std::min(left, longest_wait).count()), 1);
            // A refusal and the end of the connection come with the answer waited for.
            if (done())
                break;
            // The library reads a 3.1.1 broker's refusal of MQTT 5 as a protocol error.
            refused_version = rc == MOSQ_ERR_PROTOCOL && session.connack < 0 && protocol == MQTT_PROTOCOL_V5;
            if (rc != MOSQ_ERR_SUCCESS)
                return failure("lost the connection to the broker ", rc);
        }
        return {};
    }

    const MqttLibrary &l;
    const Broker &b;
    int protocol;
    std::string where;
    Session session;
    mosquitto *client = nullptr;
    bool refused_version = false;
    Clock::time_point start;
};

}  // namespace

// MQTT 5 says which messages the broker refused; 3.1.1 only when the broker speaks nothing newer.
std::string publish(const MqttLibrary &library, const Broker &broker, const Credentials &c,
                    const std::vector<Message> &messages, const std::optional<Message> &will,
                    Clock::time_point deadline)
{
    std::string error;
    for (const int version : {MQTT_PROTOCOL_V5, MQTT_PROTOCOL_V311}) {
        Publisher publisher(library, broker, version);
        error = publisher.publish(c, messages, will, deadline);
        if (!publisher.version_refused())
            break;
    }
    return error;
}

}  // namespace wex_q40
