// wex-q40 mqtt, which publishes readings and their Home Assistant discovery: its options, their rows, and its run.
#ifndef WEX_Q40_MQTT_H
#define WEX_Q40_MQTT_H

#include <array>
#include <string>

#include "acquire.h"
#include "option_row.h"

namespace wex_q40 {

struct MqttOptions {
    std::string host;
    unsigned port = 0;
    std::string cafile;            // not empty: TLS, the broker checked against this CA
    std::string credentials;       // a file, so that the password stays off the command line
    std::string prefix;            // empty: wex-q40/<host name>
    std::string discovery_prefix;  // Home Assistant's
    unsigned expire_after_s = 0;
    bool remove = false;  // clear what mqtt published instead of taking a reading
    std::string device_id;  // empty: the module's serial number, else its host and place on the bus
};
extern const std::array<OptionRow<MqttOptions>, 9> mqtt_rows;
// Publishes one reading and its Home Assistant discovery to an MQTT broker.
int run_mqtt(const ReadingOptions &reading, const MqttOptions &options, const Budget &budget);

}  // namespace wex_q40

#endif
