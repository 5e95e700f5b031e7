// The broker the mqtt tests start, and what reads its retained messages back.
#ifndef WEX_Q40_TESTS_MQTT_SUPPORT_H
#define WEX_Q40_TESTS_MQTT_SUPPORT_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "companion_support.h"

const std::vector<std::string> room = {"VWEX_TEMP=22.4", "VWEX_HUM=41.5"};
const std::string prefix = "wex-q40/test-room";
const std::string node = "wex-q40_test-room";

int bound_socket(unsigned short port);
unsigned short port_of(int fd);
unsigned short free_port();

enum class Security { anonymous, password, tls_and_password };
// A broker of MQTT 3.1.1; a connection that breaks at the first message; one that answers nothing after its start.
enum class Relay { mqtt311, cut, mute };

// A mosquitto of its own on a free loopback port, ended with the test.
class Broker {
  public:
    Broker(const TempDir &dir, Security security);
    // In front of the one on that port.
    Broker(const TempDir &dir, unsigned short relayed, Relay relay = Relay::mqtt311);
    Broker(const Broker &) = delete;
    Broker &operator=(const Broker &) = delete;
    ~Broker();
    const unsigned short port;

  private:
    void start(const std::vector<std::string> &command, const std::string &log);
    pid_t pid = 0;
};

// The test's CA, the broker's certificate, the password file, the access rules and the credentials files, in dir.
void make_certificates(const TempDir &dir);

// Every retained message, one JSON object each, payloads that are JSON parsed.
std::string retained(unsigned short port, const std::vector<std::string> &access = {});

#endif
