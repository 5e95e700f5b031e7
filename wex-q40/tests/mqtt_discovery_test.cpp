#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <chrono>
#include <sstream>
#include <thread>

#include "mqtt_support.h"

namespace {

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
    write_file(ca / "calibration", "temperature-offset = -1.0\nhumidity-gain = 1.05\nhumidity-offset = 0.5\n");
    chmod((ca / "calibration").c_str(), 0644);
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
        // As every other output renders it (calibration_outputs_test.cpp).
        {"a calibrated reading", room, {"--calibration", ca / "calibration"},
         "map(select(.topic == \"wex-q40/test-room/state\"))[0].payload | .temperature == 21.4 and .humidity == 46.8 "
         "and .dewpoint == 9.6 and .calibration.uncalibrated == {temperature: 22.4, humidity: 41.5, dewpoint: 8.7}",
         Security::anonymous, 0},
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
    // The filter counted the configurations; besides them only these, the error cleared.
    EXPECT_TRUE(jq_holds("(map(.topic | select(startswith(\"homeassistant/\") | not)) | sort) == "
                         "([\"/state\", \"/last-reading\", \"/availability\", \"/problem\"] | map($t + .) | sort) and length == 9",
                         messages, {"--arg", "t", topic}))
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

TEST(Mqtt, AConnectionBrokenPartWayLeavesTheReadingsOffline)
{
    const TempDir dir;
    const Broker real(dir, Security::anonymous);
    const Broker broken(dir, real.port, Relay::cut);
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
// This host's node for a module without a serial number, but for its place on the bus.
std::string host_node()
{
    std::array<char, 256> host{};
    gethostname(host.data(), host.size() - 1);
    std::string name = std::string("wex-q40_") + host.data();
    for (char &c : name)
        c = std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' ? c : '_';
    return name;
}

// wex-q40 mqtt with modules emulated at the USB level, as sysfs shows them.
Consumed run_on_usb(const TempDir &dir, const std::vector<std::string> &modules, const std::vector<std::string> &args)
{
    std::vector<std::string> command = {WEX_USBEMU, "--ready-at-once"};
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
        {"no serial: the host and the place on the bus name it", {"--port", "1-4"}, host_node() + "_1-4",
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
    EXPECT_TRUE(jq_holds("map(select(.topic | startswith(\"homeassistant/\"))) | length == 15", retained(broker.port)));

    std::vector<std::string> remove = to;
    remove.push_back("--remove");
    for (const std::vector<std::string> &module : {std::vector<std::string>{"--serial", "WQ9"}, {"--port", "1-4"}}) {
        const Consumed removed = run_on_usb(dir, module, remove);
        EXPECT_EQ(removed.status, 0) << removed.output;
        EXPECT_EQ(removed.output, "");
    }
    const std::string left = retained(broker.port);
    EXPECT_TRUE(jq_holds("length == 0", left)) << left;
}

// Two hosts (two prefixes) whose modules share a serial number, through one broker, in turn.
TEST(Mqtt, TwoModulesWithOneSerialNeverBecomeOneDevice)
{
    const TempDir dir;
    const Broker broker(dir, Security::anonymous);
    const std::string to = "--host 127.0.0.1 --port " + std::to_string(broker.port) + " --prefix ";
    const std::string other_line =
        "wex-q40 mqtt: the device wex-q40_WQ9 is published under site/a (homeassistant/binary_sensor/wex-q40_WQ9/problem/"
        "config reads site/a/problem): if this module moved here, clear it with --remove --prefix site/a; else give "
        "this module a device of its own with --device-id ID\n";
    // The devices' configurations, by the state topic each reads.
    const std::string devices = "map(select(.topic | startswith(\"homeassistant/\")) | "
                                "{(.topic | split(\"/\")[2]): (.payload.state_topic | split(\"/\")[0:2] | join(\"/\"))})"
                                " | unique | add // {}";
    struct Step {
        std::string args;
        int status;
        std::string err;  // empty: none; else its start
        std::string devices;
        std::string topics;  // the prefixes with retained messages
    };
    const Step steps[] = {
        {"site/a", 0, "", R"({"wex-q40_WQ9":"site/a"})", R"(["site/a"])"},
        {"site/b", 2, other_line, R"({"wex-q40_WQ9":"site/a"})", R"(["site/a"])"},
        {"site/b --remove", 0, "wex-q40 mqtt: left 5 configurations of another device (homeassistant/sensor/wex-q40_WQ9/temperature/config "
         "reads site/a/state)\n",
         R"({"wex-q40_WQ9":"site/a"})", R"(["site/a"])"},
        {"site/b --device-id WQ9-b", 0, "", R"({"wex-q40_WQ9":"site/a","wex-q40_WQ9-b":"site/b"})", R"(["site/a","site/b"])"},
        {"site/a", 0, "", R"({"wex-q40_WQ9":"site/a","wex-q40_WQ9-b":"site/b"})", R"(["site/a","site/b"])"},
        // The fix for a module moved from a to c.
        {"site/a --remove", 0, "", R"({"wex-q40_WQ9-b":"site/b"})", R"(["site/b"])"},
        {"site/c", 0, "", R"({"wex-q40_WQ9":"site/c","wex-q40_WQ9-b":"site/b"})", R"(["site/b","site/c"])"},
    };
    for (const auto &step : steps) {
        SCOPED_TRACE(step.args);
        std::vector<std::string> args;
        std::istringstream words(to + step.args);
        for (std::string word; words >> word;)
            args.push_back(word);
        const Consumed run = run_on_usb(dir, {"--serial", "WQ9"}, args);
        EXPECT_EQ(run.status, step.status) << run.output;
        if (step.err.empty())
            EXPECT_EQ(run.output, "");
        else
            EXPECT_EQ(run.output.rfind(step.err, 0), 0u) << run.output;
        const std::string messages = retained(broker.port);
        EXPECT_TRUE(jq_holds(devices + " == $d", messages, {"--argjson", "d", step.devices})) << messages;
        EXPECT_TRUE(jq_holds("map(.topic | select(startswith(\"site/\")) | split(\"/\")[0:2] | join(\"/\")) | unique == $t",
                             messages, {"--argjson", "t", step.topics}))
            << messages;
        EXPECT_TRUE(jq_holds("map(select(.topic | startswith(\"homeassistant/\"))) | group_by(.topic | split(\"/\")[2]) | "
                             "all(length == 5)", messages)) << messages;
    }
}
#endif

}  // namespace
