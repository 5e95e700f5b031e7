// The renderers: each takes its readings and returns its exit status.
#ifndef WEX_Q40_OUTPUTS_H
#define WEX_Q40_OUTPUTS_H

#include <string>

#include "acquire.h"
#include "options.h"

namespace wex_q40 {

int run_check(const Options &options, Clock::time_point deadline);
int run_json(const Options &options, Clock::time_point deadline);
int run_influx(const Options &options, Clock::time_point deadline);
int run_textfile(const Options &options, Clock::time_point deadline);
int run_diagnose(const Options &options, Clock::time_point deadline);
// Publishes one reading and its Home Assistant discovery to an MQTT broker.
int run_mqtt(const Options &options, Clock::time_point deadline);
// Answers snmpd on standard input and output until its end; the time limit applies to each reading.
int run_snmp(const Options &options, Clock::time_point deadline);

// {"error": ..., "time": ...} on standard output.
void print_json_error(const std::string &error);

}  // namespace wex_q40

#endif
