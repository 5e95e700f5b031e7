#include <dlfcn.h>
#include <mosquitto.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "commands.h"
#include "json_reading.h"
#include "outputs.h"

namespace wex_q40 {

namespace {

constexpr int keepalive_s = 60;
constexpr int qos = 1;
constexpr std::chrono::milliseconds longest_wait{100};
constexpr const char *library_name = "libmosquitto.so.1";

// Loaded only here, so that the other subcommands never pay for the library and OpenSSL.
struct Library {
    void *handle = nullptr;
    decltype(&mosquitto_lib_init) lib_init = nullptr;
    decltype(&mosquitto_lib_cleanup) lib_cleanup = nullptr;
    decltype(&mosquitto_new) create = nullptr;
    decltype(&mosquitto_destroy) destroy = nullptr;
    decltype(&mosquitto_username_pw_set) username_pw_set = nullptr;
    decltype(&mosquitto_tls_set) tls_set = nullptr;
    decltype(&mosquitto_connect_async) connect_async = nullptr;
    decltype(&mosquitto_loop) loop = nullptr;
    decltype(&mosquitto_publish) publish = nullptr;
    decltype(&mosquitto_disconnect) disconnect = nullptr;
    decltype(&mosquitto_connect_callback_set) connect_callback_set = nullptr;
    decltype(&mosquitto_publish_callback_set) publish_callback_set = nullptr;
    decltype(&mosquitto_disconnect_callback_set) disconnect_callback_set = nullptr;
    decltype(&mosquitto_log_callback_set) log_callback_set = nullptr;
    decltype(&mosquitto_strerror) strerror = nullptr;
    decltype(&mosquitto_connack_string) connack_string = nullptr;

    Library() = default;
    Library(const Library &) = delete;
    Library &operator=(const Library &) = delete;
    ~Library()
    {
        if (handle != nullptr)
            dlclose(handle);
    }
};

template <typename Function>
bool find(void *handle, const char *name, Function &slot)
{
    slot = reinterpret_cast<Function>(dlsym(handle, name));
    return slot != nullptr;
}

// Empty when every function was found.
std::string load(Library &l)
{
    l.handle = dlopen(library_name, RTLD_NOW | RTLD_LOCAL);
    if (l.handle == nullptr)
        return std::string("cannot load the MQTT library: ") + dlerror();
    const bool all = find(l.handle, "mosquitto_lib_init", l.lib_init) &&
                     find(l.handle, "mosquitto_lib_cleanup", l.lib_cleanup) &&
                     find(l.handle, "mosquitto_new", l.create) && find(l.handle, "mosquitto_destroy", l.destroy) &&
                     find(l.handle, "mosquitto_username_pw_set", l.username_pw_set) &&
                     find(l.handle, "mosquitto_tls_set", l.tls_set) &&
                     find(l.handle, "mosquitto_connect_async", l.connect_async) &&
                     find(l.handle, "mosquitto_loop", l.loop) && find(l.handle, "mosquitto_publish", l.publish) &&
                     find(l.handle, "mosquitto_disconnect", l.disconnect) &&
                     find(l.handle, "mosquitto_connect_callback_set", l.connect_callback_set) &&
                     find(l.handle, "mosquitto_publish_callback_set", l.publish_callback_set) &&
                     find(l.handle, "mosquitto_disconnect_callback_set", l.disconnect_callback_set) &&
                     find(l.handle, "mosquitto_log_callback_set", l.log_callback_set) &&
                     find(l.handle, "mosquitto_strerror", l.strerror) &&
                     find(l.handle, "mosquitto_connack_string", l.connack_string);
    if (!all)
        return std::string("cannot load the MQTT library: ") + dlerror();
    return {};
}

struct Credentials {
    std::string user;
    std::string password;
    bool has_password = false;
};

// The user name on the first line, the password on the second.
std::string read_credentials(const std::string &path, Credentials &c)
{
    std::ifstream in(path);
    if (!in)
        return "cannot read the credentials file " + path + ": " + std::strerror(errno);
    std::getline(in, c.user);
    c.has_password = static_cast<bool>(std::getline(in, c.password));
    // A file written on another system may end its lines with CR LF.
    for (std::string *line : {&c.user, &c.password})
        if (!line->empty() && line->back() == '\r')
            line->pop_back();
    if (c.user.empty())
        return "the credentials file " + path + " has no user name on its first line";
    return {};
}

std::string host_name()
{
    std::array<char, 256> name{};
    if (gethostname(name.data(), name.size() - 1) != 0 || name[0] == '\0')
        return "localhost";
    return name.data();
}

// Home Assistant takes only these in a node id and a unique id.
std::string node_id(const std::string &prefix)
{
    std::string id = prefix;
    std::replace_if(
        id.begin(), id.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)) == 0 && c != '-'; }, '_');
    return id;
}

struct Message {
    std::string topic;
    std::string payload;
};

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

std::vector<Message> discovery(const Options &o, const std::string &prefix, const std::string &host)
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
        config["expire_after"] = o.mqtt_expire_after_s;
        config["device"] = device;
        messages.push_back({o.mqtt_discovery_prefix + "/sensor/" + node + "/" + s.key + "/config", json_text(config)});
    }
    return messages;
}

std::string state(const Reading &r)
{
    return json_text(reading_object(r));
}

struct Session {
    int connack = -1;  // -1: no answer yet
    std::set<int> unacknowledged;
    bool disconnected = false;
    std::string tls_error;  // the library's last word on a failed handshake
};

void on_connect(mosquitto * /*client*/, void *session, int code)
{
    static_cast<Session *>(session)->connack = code;
}

void on_publish(mosquitto * /*client*/, void *session, int mid)
{
    static_cast<Session *>(session)->unacknowledged.erase(mid);
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
    Publisher(const Library &library, const Options &o) : l(library), where(o.mqtt_host + ":" + std::to_string(o.mqtt_port))
    {
        client = l.create(nullptr, true, &session);
    }
    Publisher(const Publisher &) = delete;
    Publisher &operator=(const Publisher &) = delete;
    ~Publisher()
    {
        if (client != nullptr)
            l.destroy(client);
    }

    // Empty when the broker acknowledged every message and the connection ended cleanly.
    std::string publish(const Options &o, const Credentials &c, const std::vector<Message> &messages,
                        Clock::time_point deadline)
    {
        if (client == nullptr)
            return "cannot make an MQTT client: " + std::string(std::strerror(errno));
        l.connect_callback_set(client, on_connect);
        l.publish_callback_set(client, on_publish);
        l.disconnect_callback_set(client, on_disconnect);
        l.log_callback_set(client, on_log);
        if (!c.user.empty())
            l.username_pw_set(client, c.user.c_str(), c.has_password ? c.password.c_str() : nullptr);
        if (!o.mqtt_cafile.empty() && l.tls_set(client, o.mqtt_cafile.c_str(), nullptr, nullptr, nullptr, nullptr) != 0)
            return "cannot use the CA file " + o.mqtt_cafile;
        int rc = l.connect_async(client, o.mqtt_host.c_str(), static_cast<int>(o.mqtt_port), keepalive_s);
        if (rc != MOSQ_ERR_SUCCESS)
            return failure("cannot connect to the broker ", rc);
        if (std::string error = wait(deadline, [this] { return session.connack >= 0; }); !error.empty())
            return error;
        if (session.connack != 0)
            return "the broker " + where + " refused the connection: " + l.connack_string(session.connack);
        for (const Message &m : messages) {
            int mid = 0;
            rc = l.publish(client, &mid, m.topic.c_str(), static_cast<int>(m.payload.size()), m.payload.data(), qos, true);
            if (rc != MOSQ_ERR_SUCCESS)
                return failure(("cannot publish to " + m.topic + " on the broker ").c_str(), rc);
            session.unacknowledged.insert(mid);
        }
        if (std::string error = wait(deadline, [this] { return session.unacknowledged.empty(); }); !error.empty())
            return error;
        l.disconnect(client);
        return wait(deadline, [this] { return session.disconnected; });
    }

  private:
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
                return "no answer from the broker " + where + " within the time limit";
            const int rc = l.loop(client, static_cast<int>(std::min(left, longest_wait).count()), 1);
            // A refusal and the end of the connection come with the answer waited for.
            if (done())
                break;
            if (rc != MOSQ_ERR_SUCCESS)
                return failure("lost the connection to the broker ", rc);
        }
        return {};
    }

    const Library &l;
    std::string where;
    Session session;
    mosquitto *client = nullptr;
};

int fail(const char *status_text, const std::string &error, int status)
{
    std::fprintf(stderr, "wex-q40 mqtt: %s%s\n", status_text, error.c_str());
    return status;
}

}  // namespace

int run_mqtt(const Options &options, Clock::time_point deadline)
{
    Credentials credentials;
    if (!options.mqtt_credentials.empty()) {
        if (std::string error = read_credentials(options.mqtt_credentials, credentials); !error.empty())
            return fail("", error, exit_status::unwritten);
    }
    Library library;
    if (std::string error = load(library); !error.empty())
        return fail("", error, exit_status::unwritten);
    const std::string host = host_name();
    const std::string prefix = options.mqtt_prefix.empty() ? "wex-q40/" + host : options.mqtt_prefix;

    // A third of the time limit stays for the broker.
    const auto start = Clock::now();
    const Reading r = take_reading(options, start + (deadline - start) * 2 / 3);
    std::vector<Message> messages = discovery(options, prefix, host);
    if (r.good) {
        messages.push_back({prefix + "/state", state(r)});
        messages.push_back({prefix + "/error", ""});
    } else {
        messages.push_back({prefix + "/error", r.problem});
    }

    library.lib_init();
    std::string error;
    {
        Publisher publisher(library, options);
        error = publisher.publish(options, credentials, messages, deadline);
    }
    library.lib_cleanup();
    if (!error.empty())
        return fail("", error, exit_status::unwritten);
    if (!r.good)
        return fail("reading failed: ", r.problem, exit_status::failed_reading);
    if (r.unclosed)
        std::fprintf(stderr, "wex-q40 mqtt: %s\n", unclosed_warning);
    return exit_status::good;
}

}  // namespace wex_q40
