#include <unistd.h>

#include <array>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "exit_status.h"
#include "mqtt_parts.h"

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
std::string prepare(MqttLibrary &library, const MqttOptions &o, const std::string &prefix, const Identity &identity,
                    Credentials &credentials, Broker &broker)
{
    if (std::string error = check_topics(o, prefix, identity); !error.empty())
        return error;
    if (!o.credentials.empty())
        if (std::string error = read_credentials(o.credentials, credentials); !error.empty())
            return error;
    std::string pem;
    if (!o.cafile.empty())
        if (std::string error = read_cafile(o.cafile, pem); !error.empty())
            return error;
    if (std::string error = load_mqtt_library(library); !error.empty())
        return error;
    broker.where = o.host + ":" + std::to_string(o.port);
    broker.port = static_cast<int>(o.port);
    if (o.cafile.empty())
        return {};
    std::string error;
    broker.tls_context = make_tls_context(library, pem, o.host, error);
    return error.empty() ? error : "cannot use the CA file " + o.cafile + ": " + error;
}

// Removing takes no reading; it clears what an earlier version published under the prefix's node too.
Publication removal_of(const MqttOptions &o, const std::string &prefix, const Identity &identity)
{
    std::vector<std::string> nodes = {identity.node};
    if (node_id(prefix) != identity.node)
        nodes.push_back(node_id(prefix));
    return {identity.node, prefix, cleared_configurations(o, nodes), cleared_state(prefix), std::nullopt, true};
}

// The configurations and the reading, and the will that says offline should the connection break part-way.
Publication reading_publication(const ReadingOptions &reading, const MqttOptions &o, const std::string &prefix,
                                const Identity &identity, const Budget &budget, Reading &r)
{
    // A third of the time left stays for the broker.
    r = take_reading(reading, budget.share(2, 3));
    return {identity.node, prefix, discovery(o, prefix, identity), outcome(o, prefix, r),
            Message{prefix + availability_level, offline}, false};
}

}  // namespace

int run_mqtt(const ReadingOptions &reading, const MqttOptions &options, const Budget &budget)
{
    const std::string host = host_name();
    const std::string prefix = options.prefix.empty() ? "wex-q40/" + host : options.prefix;
    const Identity identity = identity_of(prefix, host, module_identity(), options.device_id);
    MqttLibrary library;
    Credentials credentials;
    Broker broker;
    if (std::string error = prepare(library, options, prefix, identity, credentials, broker); !error.empty())
        return fail("", error, exit_status::unwritten);

    Reading r;
    const Publication publication = options.remove
                                        ? removal_of(options, prefix, identity)
                                        : reading_publication(reading, options, prefix, identity, budget, r);

    std::string error;
    std::string warning;
    broker.address = resolve_broker(options.host, options.port, budget.deadline, error);
    if (error.empty()) {
        // NOLINTNEXTLINE(clang-analyzer-core.CallAndMessage): prepare() failed unless the library bound every symbol.
        library.lib_init();
        {
            Session session(library, broker, credentials, budget.deadline);
            error = publish(session, publication, warning);
        }
        library.lib_cleanup();
    }
    free_tls_context(library, broker.tls_context);
    if (!error.empty())
        return fail("", error, exit_status::unwritten);
    if (!warning.empty())
        std::fprintf(stderr, "wex-q40 mqtt: %s\n", warning.c_str());
    if (options.remove)
        return exit_status::good;
    if (!r.good)
        return fail("reading failed: ", r.failure.summary, exit_status::failed_reading);
    if (r.unclosed)
        std::fprintf(stderr, "wex-q40 mqtt: %s\n", unclosed_warning);
    return exit_status::good;
}

}  // namespace wex_q40
