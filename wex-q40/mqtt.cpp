#include <unistd.h>

#include <array>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "mqtt.h"
#include "outputs.h"

namespace wex_q40 {

namespace {

std::string host_name()
{
    std::array<char, 256> name{};
    if (gethostname(name.data(), name.size() - 1) != 0 || name[0] == '\0')
        return "localhost";
    return name.data();
}

int fail(const char *status_text, const std::string &error, int status)
{
    std::fprintf(stderr, "wex-q40 mqtt: %s%s\n", status_text, error.c_str());
    return status;
}

// Everything that can be found wrong before the reading: the topics, the operator's files, the library.
std::string prepare(MqttLibrary &library, const Options &o, const std::string &prefix, const Identity &identity,
                    Credentials &credentials, Broker &broker)
{
    if (std::string error = check_topics(o, prefix, identity); !error.empty())
        return error;
    if (!o.mqtt_credentials.empty())
        if (std::string error = read_credentials(o.mqtt_credentials, credentials); !error.empty())
            return error;
    std::string pem;
    if (!o.mqtt_cafile.empty())
        if (std::string error = read_cafile(o.mqtt_cafile, pem); !error.empty())
            return error;
    if (std::string error = load_mqtt_library(library); !error.empty())
        return error;
    broker.where = o.mqtt_host + ":" + std::to_string(o.mqtt_port);
    broker.port = static_cast<int>(o.mqtt_port);
    if (o.mqtt_cafile.empty())
        return {};
    std::string error;
    broker.tls_context = make_tls_context(library, pem, o.mqtt_host, error);
    return error.empty() ? error : "cannot use the CA file " + o.mqtt_cafile + ": " + error;
}

// Removing takes no reading; it clears what an earlier version published under the prefix's node too.
std::vector<Message> removal_of(const Options &o, const std::string &prefix, const Identity &identity)
{
    std::vector<std::string> nodes = {identity.node};
    if (node_id(prefix) != identity.node)
        nodes.push_back(node_id(prefix));
    return removal(o, prefix, nodes);
}

// The configurations and the reading, and the will that says offline should the connection break part-way.
std::vector<Message> reading_messages(const Options &o, const std::string &prefix, const Identity &identity,
                                      Clock::time_point deadline, Reading &r, std::optional<Message> &will)
{
    // A third of the time limit stays for the broker.
    const auto start = Clock::now();
    r = take_reading(o, start + (deadline - start) * 2 / 3);
    std::vector<Message> messages = discovery(o, prefix, identity);
    const std::vector<Message> published = outcome(o, prefix, r);
    messages.insert(messages.end(), published.begin(), published.end());
    will = Message{prefix + availability_level, offline};
    return messages;
}

}  // namespace

int run_mqtt(const Options &options, Clock::time_point deadline)
{
    const std::string host = host_name();
    const std::string prefix = options.mqtt_prefix.empty() ? "wex-q40/" + host : options.mqtt_prefix;
    const Identity identity = identity_of(prefix, host, module_identity());
    MqttLibrary library;
    Credentials credentials;
    Broker broker;
    if (std::string error = prepare(library, options, prefix, identity, credentials, broker); !error.empty())
        return fail("", error, exit_status::unwritten);

    Reading r;
    std::optional<Message> will;
    const std::vector<Message> messages = options.mqtt_remove ? removal_of(options, prefix, identity)
                                                              : reading_messages(options, prefix, identity, deadline, r, will);

    std::string error;
    broker.address = resolve_broker(options.mqtt_host, options.mqtt_port, deadline, error);
    if (error.empty()) {
        // NOLINTNEXTLINE(clang-analyzer-core.CallAndMessage): prepare() failed unless the library bound every symbol.
        library.lib_init();
        error = publish(library, broker, credentials, messages, will, deadline);
        library.lib_cleanup();
    }
    free_tls_context(library, broker.tls_context);
    if (!error.empty())
        return fail("", error, exit_status::unwritten);
    if (options.mqtt_remove)
        return exit_status::good;
    if (!r.good)
        return fail("reading failed: ", r.problem, exit_status::failed_reading);
    if (r.unclosed)
        std::fprintf(stderr, "wex-q40 mqtt: %s\n", unclosed_warning);
    return exit_status::good;
}

}  // namespace wex_q40
