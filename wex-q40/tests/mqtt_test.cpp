#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "companion_support.h"

namespace {

const std::vector<std::string> room = {"VWEX_TEMP=22.4", "VWEX_HUM=41.5"};
const std::string prefix = "wex-q40/test-room";
const std::string node = "wex-q40_test-room";
// One certificate for the broker at 127.0.0.1, signed by a CA made for the test, and a CA that signed nothing.
const std::string certificate_script = R"(set -e
key() { name=$1; shift; openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout "$name.key" "$@"; }
key ca -x509 -days 1 -subj /CN=test-ca -out ca.crt 2>/dev/null
key other -x509 -days 1 -subj /CN=other-ca -out other.crt 2>/dev/null
key server -subj /CN=localhost -out server.csr 2>/dev/null
printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\n' >san
openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 1 -extfile san -out server.crt 2>/dev/null
mosquitto_passwd -b -c passwords wex-q40 'pass word' >/dev/null
mosquitto_passwd -b passwords reader reading >/dev/null
mosquitto_passwd -b passwords limited limited >/dev/null
printf 'wex-q40\npass word\n' >credentials
printf 'wex-q40\nwrong\n' >wrong-credentials
printf 'wex-q40\r\npass word\r\n' >crlf-credentials
printf 'limited\nlimited\n' >limited-credentials
chmod 600 credentials wrong-credentials crlf-credentials limited-credentials
{ cat "$2"; printf 'user reader\ntopic read #\nuser limited\ntopic write homeassistant/#\n'; } >acl
)";

sockaddr_in loopback(unsigned short port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

int bound_socket(unsigned short port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopback(port);
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        if (fd >= 0)
            close(fd);
        throw std::runtime_error("cannot bind a loopback socket");
    }
    return fd;
}

unsigned short port_of(int fd)
{
    sockaddr_in address{};
    socklen_t size = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size);
    return ntohs(address.sin_port);
}

unsigned short free_port()
{
    const int fd = bound_socket(0);
    const unsigned short port = port_of(fd);
    close(fd);
    return port;
}

bool accepts(unsigned short port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopback(port);
    const bool ok = connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

enum class Security { anonymous, password, tls_and_password };

// A mosquitto of its own on a free loopback port, ended with the test.
class Broker {
  public:
    Broker(const TempDir &dir, Security security) : port(free_port())
    {
        std::string config = "listener " + std::to_string(port) + " 127.0.0.1\npersistence false\nuser root\n";
        if (security == Security::anonymous)
            config += "allow_anonymous true\n";
        else
            config += "allow_anonymous false\npassword_file " + (dir / "passwords") + "\nacl_file " + (dir / "acl") + "\n";
        if (security == Security::tls_and_password)
            config += "cafile " + (dir / "ca.crt") + "\ncertfile " + (dir / "server.crt") + "\nkeyfile " +
                      (dir / "server.key") + "\n";
        write_file(dir / "broker.conf", config);
        start({"mosquitto", "-c", dir / "broker.conf"}, dir / "broker.log");
    }
    // A broker of MQTT 3.1.1 in front of the one on that port; or, cut, a connection that breaks at the first message.
    Broker(const TempDir &dir, unsigned short relayed, bool cut = false) : port(free_port())
    {
        std::vector<std::string> command = {"python3", WEX_MQTT_311_BROKER, std::to_string(port), std::to_string(relayed)};
        if (cut)
            command.push_back("cut");
        start(command, dir / "relay.log");
    }
    Broker(const Broker &) = delete;
    Broker &operator=(const Broker &) = delete;
    ~Broker()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
    const unsigned short port;

  private:
    void start(const std::vector<std::string> &command, const std::string &log)
    {
        std::vector<const char *> argv;
        argv.reserve(command.size() + 1);
        for (const std::string &word : command)
            argv.push_back(word.c_str());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        const int error = posix_spawnp(&pid, argv[0], &actions, nullptr, const_cast<char **>(argv.data()), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (error != 0)
            throw std::runtime_error("cannot start " + command[0]);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!accepts(port)) {
            if (waitpid(pid, nullptr, WNOHANG) == pid || std::chrono::steady_clock::now() > until) {
                pid = 0;
                throw std::runtime_error(command[0] + " did not start listening: " + read_file(log));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    pid_t pid = 0;
};

void make_certificates(const TempDir &dir)
{
    const Consumed made = consume({"sh", "-c", "cd \"$1\" && " + certificate_script, "sh", dir.path, WEX_MQTT_ACL}, "");
    if (made.status != 0)
        throw std::runtime_error("cannot make the test CA (openssl, mosquitto): " + made.output);
}

// Every retained message, one JSON object each, payloads that are JSON parsed.
std::string retained(unsigned short port, const std::vector<std::string> &access = {})
{
    std::vector<std::string> command = {"mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(port), "-t", "#",
                                        "-q", "1", "-V", "mqttv5", "-F", "%j", "-W", "1"};
    command.insert(command.end(), access.begin(), access.end());
    const Consumed sub = consume(command, "");
    // 27: the time-out that ends the listening.
    EXPECT_EQ(sub.status, 27) << sub.output;
    // Its errors come mixed in, and the time-out's "Timed out".
    const Consumed parsed = consume(
        {"jq", "-c", "-R", "-s", "split(\"\\n\") | map(select(startswith(\"{\")) | fromjson | .payload = (.payload as $p | try ($p | fromjson) catch $p))"},
        sub.output);
    EXPECT_EQ(parsed.status, 0) << sub.output;
    return parsed.output;
}

bool jq_holds(const std::string &filter, const std::string &input, const std::vector<std::string> &args = {})
{
    std::vector<std::string> command = {"jq", "-e"};
    command.insert(command.end(), args.begin(), args.end());
    command.push_back(filter);
    return consume(command, input).status == 0;
}

// Each entity Home Assistant is to make, checked against its documented keys, and its state, attributes and
// availability read as Home Assistant reads them. $good: the last reading was; $device: the device's keys (null:
// absent).
const std::string discovery_filter = R"jq(
def documented: {
  common: ["name", "unique_id", "state_topic", "value_template", "device_class", "expire_after", "availability",
           "availability_mode", "availability_topic", "payload_available", "payload_not_available",
           "entity_category", "json_attributes_topic", "json_attributes_template", "device", "origin", "force_update",
           "icon", "object_id", "qos", "enabled_by_default", "encoding"],
  sensor: ["unit_of_measurement", "state_class", "suggested_display_precision", "last_reset_value_template"],
  binary_sensor: ["payload_on", "payload_off", "off_delay"],
  device: ["identifiers", "connections", "manufacturer", "model", "model_id", "serial_number", "hw_version",
           "sw_version", "name", "suggested_area", "configuration_url", "via_device"],
  origin: ["name", "sw_version", "support_url"],
  availability: ["topic", "payload_available", "payload_not_available", "value_template"]};
def only($keys): type == "object" and (keys - $keys) == [];
def expected: [
  {c: "sensor", k: "temperature", class: "temperature", unit: "°C", level: "state", measured: true},
  {c: "sensor", k: "humidity", class: "humidity", unit: "%", level: "state", measured: true},
  {c: "sensor", k: "dewpoint", class: "temperature", unit: "°C", level: "state", measured: true},
  {c: "binary_sensor", k: "problem", class: "problem", level: "problem", measured: false},
  {c: "sensor", k: "last_reading", class: "timestamp", level: "last-reading", measured: false}];
. as $all
| def at($topic): $all | map(select(.topic == $topic)) | if length == 1 then .[0] else null end;
  def expiry: .properties."message-expiry-interval";
  def expiring: expiry | type == "number" and . <= $expire and . > $expire - 10;
  def rendered($p): at($p.state_topic) | if . == null then null
    elif $p.value_template then .payload[$p.value_template | capture("^[{][{] value_json[.](?<k>[a-z_]+) [}][}]$").k]
    else .payload end;
  def entity($e): at("homeassistant/\($e.c)/\($node)/\($e.k)/config") as $m | $m.payload as $p
  | $m.retain == 1 and ($p | only(documented.common + documented[$e.c]))
    and $p.unique_id == "\($node)_\($e.k)" and ($p.name | type == "string") and $p.device_class == $e.class
    and $p.state_topic == "\($prefix)/\($e.level)"
    and ($p.device | only(documented.device)) and $p.device.identifiers == [$node] and ($p.device.name | type == "string")
    and ($device | to_entries | all(.value == $p.device[.key]))
    and ($p.origin | only(documented.origin)) and $p.origin.name == "wex-q40" and ($p.origin.sw_version | type == "string")
    and (if $e.measured then
      $p.unit_of_measurement == $e.unit and $p.state_class == "measurement" and $p.expire_after == $expire
      and ($p | has("entity_category") | not) and ($p.availability | length == 1)
      and ($p.availability[0] | only(documented.availability)) and ($p.availability[0] as $a | at($a.topic) as $said
        | $said.payload == (if $good then $a.payload_available else $a.payload_not_available end)
        and ($said | if $good then expiring else expiry == null end))
      and (if $good then (rendered($p) | type == "number" or ($e.k == "dewpoint" and . == null))
           and (at($p.state_topic) | expiring) else true end)
    else
      $p.entity_category == "diagnostic" and ([$p | has("availability", "availability_topic")] | any | not)
    end)
    and (if $e.k == "problem" then
      $p.expire_after == $expire and at($p.state_topic).retain == 1 and (at($p.state_topic) | expiring)
      and rendered($p) == (if $good then $p.payload_off else $p.payload_on end)
      and (at($p.json_attributes_topic).payload | if $good then has("summary") | not
           else (.summary | type == "string" and length > 0 and (contains("\n") | not)) end)
    elif $e.k == "last_reading" then
      (rendered($p) | if $good then fromdateiso8601 - now | fabs < 60 else true end)
      and (at($p.state_topic) | expiry == null)
    else true end);
([$all[] | select(.topic | startswith("homeassistant/") and contains("/\($node)/"))] | length == (expected | length)
  and (map(.payload.device) | unique | length == 1))
and (expected | all(. as $e | entity($e)))
)jq";

// The device as Home Assistant is told of the virtual module, which sysfs does not show.
const std::string virtual_device = R"({"manufacturer":null,"model":"WEX-Q40","serial_number":null,"hw_version":null})";

std::vector<std::string> discovery_args(const std::string &node_name, bool good, const std::string &topics = prefix,
                                        const std::string &expire = "120", const std::string &device = virtual_device)
{
    return {"--arg", "node", node_name, "--arg", "prefix", topics, "--argjson", "expire", expire, "--argjson",
            "good", good ? "true" : "false", "--argjson", "device", device};
}

TEST(Mqtt, PublishesDiscoveryAndOneStateRetainedReadBackByMosquittoSub)
{
    const TempDir ca;
    make_certificates(ca);
    struct Case {
        const char *what;
        std::vector<std::string> env;
        std::vector<std::string> args;
        std::string filter;
        Security security;
        int status;  // 0: the reading good
    };
    const std::vector<std::string> tls = {"--cafile", ca / "ca.crt", "--credentials", ca / "credentials"};
    const Case cases[] = {
        {"a reading", room, {},
         "(map(select(.topic == \"wex-q40/test-room/state\"))[0] | .retain == 1 and (.payload | .temperature == 22.4 "
         "and .humidity == 41.5 and .dewpoint == 8.7 and (.time | fromdateiso8601 - now | fabs < 60))) and "
         "(map(select(.topic == \"wex-q40/test-room/error\")) == []) and length == 9",
         Security::anonymous, 0},
        {"no dew point", {"VWEX_TEMP=22.4", "VWEX_HUM=0"}, {},
         "map(select(.topic == \"wex-q40/test-room/state\"))[0].payload | .humidity == 0.0 and .dewpoint == null",
         Security::anonymous, 0},
        {"a failed reading", {"VWEX_ABSENT=1"}, {"-r", "0"},
         "(map(select(.topic == \"wex-q40/test-room/state\")) == []) and (map(select(.topic == "
         "\"wex-q40/test-room/error\"))[0] | .retain == 1 and (.payload | type == \"string\" and length > 0 and "
         "(contains(\"\\n\") | not))) and length == 8",
         Security::anonymous, 1},
        {"a password and the example's access rules", room, {"--credentials", ca / "credentials"},
         "map(select(.topic == \"wex-q40/test-room/state\"))[0].payload.temperature == 22.4", Security::password, 0},
        {"credentials with CR LF line ends", room, {"--credentials", ca / "crlf-credentials"},
         "map(select(.topic == \"wex-q40/test-room/state\"))[0].payload.temperature == 22.4", Security::password, 0},
        {"TLS and a password", room, tls,
         "map(select(.topic == \"wex-q40/test-room/state\"))[0].payload.temperature == 22.4",
         Security::tls_and_password, 0},
        {"TLS to the broker's name, checked against its certificate", room,
         {"--cafile", ca / "ca.crt", "--credentials", ca / "credentials", "--host", "localhost"},
         "map(select(.topic == \"wex-q40/test-room/state\"))[0].payload.temperature == 22.4",
         Security::tls_and_password, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const TempDir dir;
        const Broker broker(ca, c.security);
        std::vector<std::string> args = {"--host", "127.0.0.1", "--port", std::to_string(broker.port), "--prefix", prefix,
                                         "--expire-after", "120"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Outcome run = run_companion(dir, "mqtt", args, c.env);
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_EQ(run.out, "");
        std::vector<std::string> access;
        if (c.security != Security::anonymous)
            access = {"-u", "reader", "-P", "reading"};
        if (c.security == Security::tls_and_password)
            access.insert(access.end(), {"--cafile", ca / "ca.crt"});
        const std::string messages = retained(broker.port, access);
        EXPECT_TRUE(jq_holds(discovery_filter, messages, discovery_args(node, c.status == 0))) << messages;
        EXPECT_TRUE(jq_holds(c.filter, messages)) << c.filter << "\n" << messages;
    }
}

TEST(Mqtt, AGoodReadingAfterAFailureLeavesNoTraceOfItAndTheDefaultPrefixNamesTheHost)
{
    const TempDir dir;
    const Broker broker(dir, Security::anonymous);
    const std::vector<std::string> args = {"--host", "127.0.0.1", "--port", std::to_string(broker.port), "-r", "0"};
    std::array<char, 256> host{};
    gethostname(host.data(), host.size() - 1);
    const std::string topic = std::string("wex-q40/") + host.data();
    std::string host_node = topic;
    for (char &c : host_node)
        c = std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' ? c : '_';

    EXPECT_EQ(run_companion(dir, "mqtt", args, {"VWEX_ABSENT=1"}).status, 1);
    std::string messages = retained(broker.port);
    EXPECT_TRUE(jq_holds(discovery_filter, messages, discovery_args(host_node, false, topic, "300"))) << messages;
    EXPECT_EQ(run_companion(dir, "mqtt", args, room).status, 0);
    messages = retained(broker.port);
    EXPECT_TRUE(jq_holds(discovery_filter, messages, discovery_args(host_node, true, topic, "300"))) << messages;
    std::string configs;
    for (const char *entity : {"sensor/@/temperature", "sensor/@/humidity", "sensor/@/dewpoint", "sensor/@/last_reading",
                               "binary_sensor/@/problem"}) {
        const std::string path = entity;
        configs += ", \"homeassistant/" + path.substr(0, path.find('@')) + host_node + path.substr(path.find('@') + 1) + "/config\"";
    }
    EXPECT_TRUE(jq_holds("(map(.topic) | sort) == ([\"" + topic + "/state\", \"" + topic + "/last-reading\", \"" + topic +
                             "/availability\", \"" + topic + "/problem\"" + configs + "] | sort)",
                         messages))
        << messages;

    // Past its expiry the broker hands out neither the reading nor that it is good; the last good time stays.
    std::vector<std::string> short_lived = args;
    short_lived.insert(short_lived.end(), {"--expire-after", "1"});
    EXPECT_EQ(run_companion(dir, "mqtt", short_lived, room).status, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    messages = retained(broker.port);
    EXPECT_TRUE(jq_holds("(map(.topic | select(startswith(\"homeassistant/\") | not)) == [$t + \"/last-reading\"]) and "
                         "length == 6",
                         messages, {"--arg", "t", topic}))
        << messages;
}

TEST(Mqtt, ABrokerItCannotUseGivesOneLineAndStatus2WithinTheTimeLimit)
{
    const TempDir ca;
    make_certificates(ca);
    const TempDir dir;
    const Broker anonymous(dir, Security::anonymous);
    const Broker password(ca, Security::password);
    const Broker tls(ca, Security::tls_and_password);
    const int silent = bound_socket(0);
    listen(silent, 1);
    const std::string down = std::to_string(free_port());
    struct Case {
        std::string port;
        std::vector<std::string> args;
        std::string line;
    };
    const Case cases[] = {
        {down, {}, "cannot connect to the broker 127.0.0.1:" + down + ": Connection refused"},
        {std::to_string(password.port), {"--credentials", ca / "wrong-credentials"},
         "the broker 127.0.0.1:" + std::to_string(password.port) +
             " refused the connection: Not authorized"},
        {std::to_string(password.port), {}, "the broker 127.0.0.1:" + std::to_string(password.port) +
                                                " refused the connection: Not authorized"},
        {std::to_string(password.port), {"--credentials", ca / "limited-credentials", "--prefix", prefix},
         "the broker 127.0.0.1:" + std::to_string(password.port) + " refused wex-q40/test-room/state and 4 more: Not authorized"},
        {std::to_string(tls.port), {"--cafile", ca / "other.crt", "--credentials", ca / "credentials"},
         "TLS with the broker 127.0.0.1:" + std::to_string(tls.port) + " failed: error:0A000086:SSL routines::certificate verify failed"},
        {std::to_string(port_of(silent)), {"-t", "3"},
         "no answer from the broker 127.0.0.1:" + std::to_string(port_of(silent)) + " within 2."},
        {std::to_string(anonymous.port), {"--credentials", dir / "missing"},
         "cannot read the credentials file " + (dir / "missing") + ": No such file or directory"},
        {std::to_string(anonymous.port), {"--prefix", "a/+/b"},
         "--prefix needs a topic without +, # or a / at either end: a/+/b"},
        {std::to_string(anonymous.port), {"--port", "65536"}, "--port needs a port number from 1 to 65535: 65536"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = {"--host", "127.0.0.1", "--port", c.port};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Outcome run = run_companion(dir, "mqtt", args, room);
        EXPECT_EQ(run.status, 2) << c.line;
        const std::string first = run.err.substr(0, run.err.find('\n'));
        EXPECT_EQ(first.rfind("wex-q40 mqtt: " + c.line, 0), 0u) << run.err;
        // A usage error adds the usage; anything else is one line.
        if (c.line.rfind("--", 0) != 0) {
            EXPECT_EQ(run.err, first + "\n");
        }
        EXPECT_LT(run.seconds, 3.5) << c.line;
    }
    close(silent);
    EXPECT_TRUE(jq_holds("length == 0", retained(anonymous.port)));
}

TEST(Mqtt, TheOperatorsFilesMustBeSmallRegularFilesAndTheCredentialsTheOwnersOnly)
{
    const TempDir ca;
    make_certificates(ca);
    const TempDir dir;
    const Broker broker(ca, Security::password);
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    ASSERT_EQ(symlink((ca / "credentials").c_str(), (dir / "link").c_str()), 0);
    ASSERT_EQ(symlink((dir / "fifo").c_str(), (dir / "fifo-link").c_str()), 0);
    write_file(dir / "large", "wex-q40\n" + std::string(5000, 'x') + "\n");
    write_file(dir / "loose", "wex-q40\npass word\n");
    chmod((dir / "large").c_str(), 0600);
    chmod((dir / "loose").c_str(), 0640);
    write_file(dir / "huge.crt", std::string(1024 * 1024 + 1, 'x'));
    struct Case {
        std::vector<std::string> args;
        std::string line;  // empty: published
    };
    const Case cases[] = {
        {{"--credentials", dir / "fifo"}, "the credentials file " + (dir / "fifo") + " is not a regular file but a FIFO"},
        {{"--credentials", "/dev/zero"}, "the credentials file /dev/zero is not a regular file but a device"},
        {{"--credentials", dir.path}, "the credentials file " + dir.path + " is not a regular file but a folder"},
        {{"--credentials", dir / "link"}, ""},
        {{"--credentials", dir / "fifo-link"},
         "the credentials file " + (dir / "fifo-link") + " is not a regular file but a FIFO"},
        {{"--credentials", dir / "large"}, "the credentials file " + (dir / "large") + " is larger than 4096 bytes"},
        {{"--credentials", dir / "loose"},
         "the credentials file " + (dir / "loose") + " is open to others (mode 0640): chmod 600 " + (dir / "loose")},
        {{"--credentials", ca / "credentials", "--cafile", dir / "fifo"},
         "the CA file " + (dir / "fifo") + " is not a regular file but a FIFO"},
        {{"--credentials", ca / "credentials", "--cafile", dir / "huge.crt"},
         "the CA file " + (dir / "huge.crt") + " is larger than 1048576 bytes"},
        {{"--credentials", ca / "credentials", "--cafile", ca / "credentials"},
         "cannot use the CA file " + (ca / "credentials") + ": it holds no PEM certificate"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args.back());
        std::vector<std::string> args = {"--host", "127.0.0.1", "--port", std::to_string(broker.port), "-t", "3"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Outcome run = run_companion(dir, "mqtt", args, room);
        EXPECT_EQ(run.status, c.line.empty() ? 0 : 2) << run.err;
        EXPECT_EQ(run.err, c.line.empty() ? "" : "wex-q40 mqtt: " + c.line + "\n");
        EXPECT_LT(run.seconds, 2.5);
    }
}

// wex-q40 mqtt under another host name, in a UTS namespace of its own.
Consumed run_as_host(const std::string &host, const std::vector<std::string> &args)
{
    const std::string rename_and_run = "import os, socket, sys; socket.sethostname(os.fsencode(sys.argv[1])); "
                                       "os.execv(sys.argv[2], sys.argv[2:])";
    std::vector<std::string> command = {"unshare", "-u", "python3", "-c", rename_and_run, host, "/usr/bin/env", std::string("LD_LIBRARY_PATH=") + WEX_VMODULE_DIR};
    command.insert(command.end(), room.begin(), room.end());
    command.insert(command.end(), {WEX_Q40, "mqtt", "-b", WEX_PROGRAM});
    command.insert(command.end(), args.begin(), args.end());
    return consume(command, "");
}

TEST(Mqtt, ABadTopicPublishesNothingAndNoTwoPrefixesShareANode)
{
    const TempDir dir;
    const Broker broker(dir, Security::anonymous);
    const std::vector<std::string> to = {"--host", "127.0.0.1", "--port", std::to_string(broker.port), "-l", dir / "lock"};
    struct Case {
        std::string host;
        std::vector<std::string> args;
        std::string line;
    };
    const Case cases[] = {
        {"vm", {"--prefix", "site/\xff"}, "the prefix (--prefix) is not valid in an MQTT topic (not UTF-8): site/\\xff"},
        {"vm", {"--prefix", "site/a\nb"}, "the prefix (--prefix) is not valid in an MQTT topic (a control character): site/a\\x0ab"},
        {"vm", {"--discovery-prefix", "ha\xc0\xaf"},
         "the discovery prefix (--discovery-prefix) is not valid in an MQTT topic (not UTF-8): ha\\xc0\\xaf"},
        {"vm", {"--prefix", std::string(65536, 'a')}, "the prefix (--prefix) is not valid in an MQTT topic (longer than 65535 bytes): "},
        {"room#1", {}, "the host name is not valid in an MQTT topic (a wildcard, + or #): room#1"},
        {"room+1", {}, "the host name is not valid in an MQTT topic (a wildcard, + or #): room+1"},
        {"room\n1", {}, "the host name is not valid in an MQTT topic (a control character): room\\x0a1"},
        {"room\xff", {}, "the host name is not valid in an MQTT topic (not UTF-8): room\\xff"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        std::vector<std::string> args = to;
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Consumed run = run_as_host(c.host, args);
        if (run.output.find("unshare") != std::string::npos)
            GTEST_SKIP() << "cannot make a UTS namespace: " << run.output;
        EXPECT_EQ(run.status, 2) << run.output;
        EXPECT_EQ(run.output.rfind("wex-q40 mqtt: " + c.line, 0), 0u) << run.output;
    }
    EXPECT_TRUE(jq_holds("length == 0", retained(broker.port)));

    for (const char *room_prefix : {"site/room.1", "site/room_1", "site//room"})
        EXPECT_EQ(run_companion(dir, "mqtt", {"--host", "127.0.0.1", "--port", std::to_string(broker.port), "--prefix", room_prefix}, room).status, 0);
    EXPECT_EQ(run_as_host("host.example", to).status, 0);
    const std::string messages = retained(broker.port);
    EXPECT_TRUE(jq_holds("map(select(.topic | endswith(\"/config\"))) | length == 20 and (map(.payload.unique_id) | unique | length == 20)", messages)) << messages;
    for (const char *node_topic : {"homeassistant/sensor/site_room__2e1/temperature/config", "homeassistant/sensor/site_room__5f1/temperature/config",
                                   "homeassistant/sensor/site___2froom/temperature/config", "homeassistant/sensor/wex-q40_host__2eexample/temperature/config"})
        EXPECT_TRUE(jq_holds("map(select(.topic == $t)) | length == 1", messages, {"--arg", "t", node_topic})) << node_topic;
}

TEST(Mqtt, AConnectionBrokenPartWayLeavesTheReadingsOffline)
{
    const TempDir dir;
    const Broker real(dir, Security::anonymous);
    const Broker broken(dir, real.port, true);
    const std::vector<std::string> to = {"--prefix", prefix, "--host", "127.0.0.1", "--port"};
    std::vector<std::string> args = to;
    args.push_back(std::to_string(real.port));
    ASSERT_EQ(run_companion(dir, "mqtt", args, room).status, 0);
    args = to;
    args.push_back(std::to_string(broken.port));
    const Outcome run = run_companion(dir, "mqtt", args, room);
    EXPECT_EQ(run.status, 2);
    // Which call first meets the broken connection varies: the line says so, whichever it is.
    EXPECT_EQ(run.err.rfind("wex-q40 mqtt: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find(" the broker 127.0.0.1:" + std::to_string(broken.port) + ": "), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
    const std::string messages = retained(real.port);
    EXPECT_TRUE(jq_holds("map(select(.topic == \"wex-q40/test-room/availability\")) | length == 1 and "
                         ".[0].payload == \"offline\" and .[0].retain == 1",
                         messages))
        << messages;
}

#ifdef WEX_USBEMU
// wex-q40 mqtt with modules emulated at the USB level, as sysfs shows them.
Consumed run_on_usb(const TempDir &dir, const std::vector<std::string> &modules, const std::vector<std::string> &args)
{
    std::vector<std::string> command = {WEX_USBEMU};
    command.insert(command.end(), modules.begin(), modules.end());
    command.insert(command.end(), {"--", WEX_Q40, "mqtt", "-b", WEX_PROGRAM, "-l", dir / "lock", "--max-age", "0"});
    command.insert(command.end(), args.begin(), args.end());
    return consume(command, "");
}

TEST(Mqtt, TheDeviceIsTheModuleFirstOnTheBusByItsSerialAndRemoveClearsEveryTrace)
{
    const TempDir dir;
    const Broker broker(dir, Security::anonymous);
    const std::vector<std::string> to = {"--host", "127.0.0.1", "--port", std::to_string(broker.port), "--prefix", prefix,
                                         "--expire-after", "120"};
    // What an earlier version published: the device named by the prefix.
    ASSERT_EQ(run_companion(dir, "mqtt", to, room).status, 0);
    struct Case {
        const char *what;
        std::vector<std::string> modules;
        std::string node;
        std::string device;
    };
    const std::string serial_device = R"({"manufacturer":"WEX","model":"WEX-Q40","serial_number":"WQ9","hw_version":"6.00"})";
    const Case cases[] = {
        {"no serial: the prefix names it", {}, node,
         R"({"manufacturer":"WEX","model":"WEX-Q40","serial_number":null,"hw_version":"6.00"})"},
        {"port 9 before port 10, whatever the device numbers",
         {"--serial", "WQ10", "--port", "1-10", "--devnum", "2", "--module", "--serial", "WQ9", "--port", "1-9", "--devnum", "5"},
         "wex-q40_WQ9", serial_device},
        {"moved to another bus and port", {"--serial", "WQ9", "--port", "2-3"}, "wex-q40_WQ9", serial_device},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const Consumed run = run_on_usb(dir, c.modules, to);
        EXPECT_EQ(run.status, 0) << run.output;
        const std::string messages = retained(broker.port);
        EXPECT_TRUE(jq_holds(discovery_filter, messages, discovery_args(c.node, true, prefix, "120", c.device)))
            << messages;
    }
    EXPECT_TRUE(jq_holds("map(select(.topic | startswith(\"homeassistant/\"))) | length == 10", retained(broker.port)));

    std::vector<std::string> remove = to;
    remove.push_back("--remove");
    const Consumed removed = run_on_usb(dir, {"--serial", "WQ9"}, remove);
    EXPECT_EQ(removed.status, 0) << removed.output;
    EXPECT_EQ(removed.output, "");
    const std::string left = retained(broker.port);
    EXPECT_TRUE(jq_holds("length == 0", left)) << left;
}
#endif

TEST(Mqtt, ABrokerOfMqtt311IsSpokenToInItAndCannotSayItDiscardedAMessage)
{
    const TempDir ca;
    make_certificates(ca);
    const TempDir dir;
    const Broker real(ca, Security::password);
    const Broker old(dir, real.port);
    const std::vector<std::string> args = {"--host", "127.0.0.1", "--port", std::to_string(old.port), "--prefix", prefix,
                                           "--credentials"};
    std::vector<std::string> good = args, limited = args;
    good.push_back(ca / "credentials");
    limited.push_back(ca / "limited-credentials");
    EXPECT_EQ(run_companion(dir, "mqtt", good, room).status, 0);
    const std::string reader_access[] = {"-u", "reader", "-P", "reading"};
    const std::vector<std::string> access(std::begin(reader_access), std::end(reader_access));
    EXPECT_TRUE(jq_holds("map(select(.topic == \"wex-q40/test-room/state\")) | length == 1 and "
                         "(.[0].properties.\"message-expiry-interval\" == null)",
                         retained(real.port, access)));
    // The limited user may not write the state: acknowledged and dropped, so status 0 and the old state stays.
    const Outcome dropped = run_companion(dir, "mqtt", limited, {"VWEX_TEMP=30.5", "VWEX_HUM=41.5"});
    EXPECT_EQ(dropped.status, 0) << dropped.err;
    EXPECT_TRUE(jq_holds("map(select(.topic == \"wex-q40/test-room/state\"))[0].payload.temperature == 22.4",
                         retained(real.port, access)));
}

}  // namespace
