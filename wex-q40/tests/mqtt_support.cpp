#include "mqtt_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

namespace {

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

bool accepts(unsigned short port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopback(port);
    const bool ok = connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

}  // namespace

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

Broker::Broker(const TempDir &dir, Security security) : port(free_port())
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

Broker::Broker(const TempDir &dir, unsigned short relayed, Relay relay) : port(free_port())
{
    std::vector<std::string> command = {"python3", WEX_MQTT_311_BROKER, std::to_string(port), std::to_string(relayed)};
    if (relay != Relay::mqtt311)
        command.push_back(relay == Relay::cut ? "cut" : "mute");
    start(command, dir / "relay.log");
}

Broker::~Broker()
{
    if (pid > 0) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
}

void Broker::start(const std::vector<std::string> &command, const std::string &log)
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

void make_certificates(const TempDir &dir)
{
    const Consumed made = consume({"sh", "-c", "cd \"$1\" && " + certificate_script, "sh", dir.path, WEX_MQTT_ACL}, "");
    if (made.status != 0)
        throw std::runtime_error("cannot make the test CA (openssl, mosquitto): " + made.output);
}

std::string retained(unsigned short port, const std::vector<std::string> &access)
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

