// The parts of wex-q40 mqtt: the library loaded at run time, the operator's files, the topics, the broker's address.
#ifndef WEX_Q40_MQTT_PARTS_H
#define WEX_Q40_MQTT_PARTS_H

#include <mosquitto.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "acquire.h"
#include "child.h"
#include "module_identity.h"
#include "mqtt.h"

namespace wex_q40 {

// Loaded only by mqtt, so that the other subcommands never pay for the library and OpenSSL.
struct MqttLibrary {
    void *handle = nullptr;
    void *ssl = nullptr;  // libssl, which the library itself links
    decltype(&mosquitto_lib_init) lib_init = nullptr;
    decltype(&mosquitto_lib_cleanup) lib_cleanup = nullptr;
    decltype(&mosquitto_new) create = nullptr;
    decltype(&mosquitto_destroy) destroy = nullptr;
    decltype(&mosquitto_int_option) int_option = nullptr;
    decltype(&mosquitto_void_option) void_option = nullptr;
    decltype(&mosquitto_username_pw_set) username_pw_set = nullptr;
    decltype(&mosquitto_connect_async) connect_async = nullptr;
    decltype(&mosquitto_loop) loop = nullptr;
    decltype(&mosquitto_publish_v5) publish = nullptr;
    decltype(&mosquitto_will_set_v5) will_set = nullptr;
    decltype(&mosquitto_property_add_int32) property_add_int32 = nullptr;
    decltype(&mosquitto_property_free_all) property_free_all = nullptr;
    decltype(&mosquitto_disconnect) disconnect = nullptr;
    decltype(&mosquitto_subscribe_multiple) subscribe = nullptr;
    decltype(&mosquitto_unsubscribe_multiple) unsubscribe = nullptr;
    decltype(&mosquitto_connect_callback_set) connect_callback_set = nullptr;
    decltype(&mosquitto_publish_v5_callback_set) publish_callback_set = nullptr;
    decltype(&mosquitto_disconnect_callback_set) disconnect_callback_set = nullptr;
    decltype(&mosquitto_message_callback_set) message_callback_set = nullptr;
    decltype(&mosquitto_subscribe_callback_set) subscribe_callback_set = nullptr;
    decltype(&mosquitto_unsubscribe_callback_set) unsubscribe_callback_set = nullptr;
    decltype(&mosquitto_log_callback_set) log_callback_set = nullptr;
    decltype(&mosquitto_strerror) strerror = nullptr;
    decltype(&mosquitto_connack_string) connack_string = nullptr;
    decltype(&mosquitto_reason_string) reason_string = nullptr;

    MqttLibrary() = default;
    MqttLibrary(const MqttLibrary &) = delete;
    MqttLibrary &operator=(const MqttLibrary &) = delete;
    ~MqttLibrary();
};

// Empty when every function was found.
std::string load_mqtt_library(MqttLibrary &library);

// An OpenSSL client context that trusts only the given PEM certificates and checks the broker's name or address.
// Null, with the reason in error, when it cannot be made; freed with free_tls_context.
void *make_tls_context(MqttLibrary &library, const std::string &pem, const std::string &host, std::string &error);
void free_tls_context(const MqttLibrary &library, void *context);

struct Credentials {
    std::string user;
    std::string password;
    bool has_password = false;
};

// Empty when the file is a regular one, small enough, and (for credentials) the owner's only.
std::string read_credentials(const std::string &path, Credentials &credentials);
std::string read_cafile(const std::string &path, std::string &pem);

struct Message {
    std::string topic;
    std::string payload;
    unsigned expiry_s = 0;  // MQTT 5's message expiry; 0: kept until replaced
    std::vector<std::string> reads{};  // of a configuration: the topics under the prefix its entity reads
};

// The levels under the prefix: the reading, a failure as one line, whether readings are good, the problem entity's
// state and attributes, and the time of the last good reading.
constexpr const char *state_level = "/state";
constexpr const char *error_level = "/error";
constexpr const char *availability_level = "/availability";
constexpr const char *problem_level = "/problem";
constexpr const char *last_reading_level = "/last-reading";
constexpr const char *online = "online";
constexpr const char *offline = "offline";

// Whom the discovery describes: the operator's --device-id, else the module by its serial number, else the module
// by the host and its place on the bus, else (no module in sysfs) what the prefix names.
struct Identity {
    std::string node;  // the device's identifier and the configurations' node id
    std::string host;
    std::optional<ModuleIdentity> module;
};
Identity identity_of(const std::string &prefix, const std::string &host, const std::optional<ModuleIdentity> &module,
                     const std::string &device_id);

// Every topic checked before any is made; empty when all are valid.
std::string check_topics(const MqttOptions &options, const std::string &prefix, const Identity &identity);
std::string node_id(const std::string &prefix);

// The configuration topic of each entity of the node.
std::vector<std::string> config_topics(const MqttOptions &options, const std::string &node);
std::vector<Message> discovery(const MqttOptions &options, const std::string &prefix, const Identity &identity);
// What a reading publishes under the prefix, good or failed.
std::vector<Message> outcome(const MqttOptions &options, const std::string &prefix, const Reading &reading);
// Empty retained messages on the nodes' configurations, and on the prefix's topics.
std::vector<Message> cleared_configurations(const MqttOptions &options, const std::vector<std::string> &nodes);
std::vector<Message> cleared_state(const std::string &prefix);

// Where the broker is: the operator's name for messages and the certificate, the address looked up for the connection.
struct Broker {
    std::string where;
    std::string address;
    int port = 0;
    void *tls_context = nullptr;
};

struct Refusal {
    std::string topic;
    int reason = 0;  // MQTT 5's reason code
};

// One connection to the broker, every step of it bounded by the deadline; each step is empty when it went well.
class Session {
  public:
    Session(const MqttLibrary &library, const Broker &broker, const Credentials &credentials,
            Clock::time_point deadline);
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
    ~Session();

    // MQTT 5, or 3.1.1 when the broker speaks nothing newer; the will, if any, is published should the connection
    // break.
    std::string connect(const std::optional<Message> &will);
    // The payloads retained at these topics; a topic the user may not read looks empty.
    std::string read_retained(const std::vector<std::string> &topics, std::map<std::string, std::string> &found);
    // Sends them all, then waits for every acknowledgement; MQTT 5 names those refused.
    std::string send(const std::vector<Message> &messages, std::vector<Refusal> &refused);
    std::string disconnect();
    std::string reason_text(int reason) const;
    const std::string &where() const { return broker.where; }

    // What the library's callbacks tell.
    struct Heard {
        int connack = -1;  // -1: no answer yet
        std::map<int, std::string> unacknowledged;  // the topic of each message id
        std::vector<Refusal> refused;
        int answered_mid = 0;  // the last subscription or unsubscription answered
        std::map<std::string, std::string> retained;
        bool disconnected = false;
        std::string tls_error;  // the library's last word on a failed handshake
    };

  private:
    std::string connect_as(int version, const std::optional<Message> &will);
    std::string failure(const char *doing, int rc) const;
    template <typename Done>
    std::string wait(Done done);

    const MqttLibrary &l;
    const Broker &broker;
    const Credentials &credentials;
    Clock::time_point deadline;
    Clock::time_point start;
    Heard heard;
    mosquitto *client = nullptr;
    int protocol = 0;
    bool refused_version = false;
};

// What one run publishes: the configurations first, then the rest; or, removing, the empty messages that clear them.
struct Publication {
    std::string node;
    std::string prefix;
    std::vector<Message> configurations;
    std::vector<Message> state;
    std::optional<Message> will;
    bool removing = false;  // a configuration is cleared only where it reads the prefix's state
};

// Empty when the broker took every message; else the one line of what it refused and what was left retained.
// warning: a line that does not make the run fail.
std::string publish(Session &session, const Publication &publication, std::string &warning);

// Whose state the configuration reads: its state_topic, empty when it has none.
std::string state_topic_of(const std::string &configuration);
// Whether the state_topic lies under the prefix.
bool reads_prefix(const std::string &configuration, const std::string &prefix);
// The line that refuses to publish over a configuration that reads another prefix's state.
std::string owned_elsewhere(const std::string &node, const std::string &topic, const std::string &configuration);

// The broker's address as numbers, looked up by a child that is killed at the deadline; of several, the first
// that takes a connection. Empty on failure.
std::string resolve_broker(const std::string &host, unsigned port, Clock::time_point deadline, std::string &error);

}  // namespace wex_q40

#endif
