#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "mqtt_support.h"

namespace {

TEST(Mqtt, ABrokerItCannotUseGivesOneLineAndStatus2WithinTheTimeLimit)
{
    const TempDir ca;
    make_certificates(ca);
    const TempDir dir;
    const Broker anonymous(dir, Security::anonymous);
    const Broker password(ca, Security::password);
    const Broker tls(ca, Security::tls_and_password);
    // Its will, offline, is left on the broker behind it.
    const TempDir behind_dir;
    const Broker behind(behind_dir, Security::anonymous);
    const Broker mute(behind_dir, behind.port, Relay::mute);
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
         "the broker 127.0.0.1:" + std::to_string(password.port) +
             " refused wex-q40/test-room/state, wex-q40/test-room/last-reading, wex-q40/test-room/availability, "
             "wex-q40/test-room/problem, wex-q40/test-room/error: Not authorized; took back 5 configurations; left "
             "retained: nothing"},
        {std::to_string(tls.port), {"--cafile", ca / "other.crt", "--credentials", ca / "credentials"},
         "TLS with the broker 127.0.0.1:" + std::to_string(tls.port) + " failed: error:0A000086:SSL routines::certificate verify failed"},
        {std::to_string(port_of(silent)), {"-t", "3"},
         "no answer from the broker 127.0.0.1:" + std::to_string(port_of(silent)) + " within 2."},
        // The time the broker had depends on the reading's: only the limit is fixed.
        {std::to_string(mute.port), {"-t", "2"}, "no answer from the broker 127.0.0.1:" + std::to_string(mute.port) + " within "},
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

// Each message refused in turn: no entity is left reading a topic the broker refused, and the line names what is left.
TEST(Mqtt, ABrokerThatRefusesSomeMessagesLeavesNoEntityWithoutItsState)
{
    const TempDir ca;
    make_certificates(ca);
    const std::string config = "homeassistant/sensor/" + node + "/";
    const std::string temperature = config + "temperature/config", humidity = config + "humidity/config",
                      dewpoint = config + "dewpoint/config", last_reading = config + "last_reading/config",
                      problem = "homeassistant/binary_sensor/" + node + "/problem/config";
    const std::string state = prefix + "/state", last = prefix + "/last-reading", online = prefix + "/availability",
                      problem_state = prefix + "/problem", error = prefix + "/error";
    struct Case {
        std::string denied;
        std::vector<std::string> env;
        std::string took_back;  // the line's words between the refusal and what is left
        std::vector<std::string> left;  // in the order published
    };
    const Case cases[] = {
        {problem, room, "; took back 4 configurations", {}},
        {dewpoint, room, "; took back 4 configurations", {}},
        {state, room, "; took back 3 configurations", {problem, last_reading, last, online, problem_state}},
        {online, room, "; took back 3 configurations", {problem, last_reading, state, last, problem_state}},
        {problem_state, room, "; took back 1 configuration", {temperature, humidity, dewpoint, last_reading, state, last, online}},
        {last, room, "; took back 1 configuration", {temperature, humidity, dewpoint, problem, state, online, problem_state}},
        {error, room, "", {temperature, humidity, dewpoint, problem, last_reading, state, last, online, problem_state}},
        {problem_state, {"VWEX_ABSENT=1"}, "; took back 1 configuration", {temperature, humidity, dewpoint, last_reading, online, error}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.denied);
        write_file(ca / "acl", "user wex-q40\ntopic deny " + c.denied + "\ntopic readwrite homeassistant/#\n"
                               "topic readwrite wex-q40/#\nuser reader\ntopic read #\n");
        const Broker broker(ca, Security::password);
        const TempDir dir;
        const Outcome run = run_companion(dir, "mqtt", {"--host", "127.0.0.1", "--port", std::to_string(broker.port), "--prefix",
                                          prefix, "--credentials", ca / "credentials", "-r", "0"}, c.env);
        std::string left;
        for (const std::string &topic : c.left)
            left += (left.empty() ? "" : ", ") + topic;
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.err, "wex-q40 mqtt: the broker 127.0.0.1:" + std::to_string(broker.port) + " refused " + c.denied +
                               ": Not authorized" + c.took_back + "; left retained: " + (left.empty() ? "nothing" : left) + "\n");
        std::string expected = "[";
        for (const std::string &topic : c.left)
            expected += (expected.size() == 1 ? "\"" : ",\"") + topic + "\"";
        const std::string messages = retained(broker.port, {"-u", "reader", "-P", "reading"});
        EXPECT_TRUE(jq_holds("map(.topic) | sort == ($left | sort)", messages, {"--argjson", "left", expected + "]"})) << messages;
    }
}

// Access rules of an earlier example let the user write the configurations but not read them: said, not failed.
TEST(Mqtt, ConfigurationsTheUserMayNotReadAreNamedAndNotRemovedBlindly)
{
    const TempDir ca;
    make_certificates(ca);
    write_file(ca / "acl", "user wex-q40\ntopic write homeassistant/#\ntopic readwrite wex-q40/#\nuser reader\ntopic read #\n");
    const Broker broker(ca, Security::password);
    const TempDir dir;
    std::vector<std::string> args = {"--host", "127.0.0.1", "--port", std::to_string(broker.port), "--prefix", prefix,
                                     "--credentials", ca / "credentials"};
    const std::string config = "homeassistant/sensor/" + node + "/temperature/config";
    const Outcome published = run_companion(dir, "mqtt", args, room);
    EXPECT_EQ(published.status, 0);
    EXPECT_EQ(published.err, "wex-q40 mqtt: cannot read back the configurations it published (" + config +
                                 " and its kin): this user may not read them, so another host's device there goes "
                                 "unnoticed\n");
    args.push_back("--remove");
    const Outcome removed = run_companion(dir, "mqtt", args, room);
    EXPECT_EQ(removed.status, 0);
    EXPECT_EQ(removed.err, "wex-q40 mqtt: found no configuration to remove at " + config +
                               " or its kin: if Home Assistant still shows the device, this user may not read them\n");
    const std::string messages = retained(broker.port, {"-u", "reader", "-P", "reading"});
    // The configurations stay; the prefix's topics are cleared.
    EXPECT_TRUE(jq_holds("length == 5 and all(.[]; .topic | startswith(\"homeassistant/\"))", messages)) << messages;
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
