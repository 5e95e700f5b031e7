// The four renderers: each takes one reading and returns its exit status.
#ifndef COMPANION_OUTPUTS_H
#define COMPANION_OUTPUTS_H

#include <chrono>
#include <string>

#include "acquire.h"
#include "options.h"

int run_check(const Options &options, Clock::time_point deadline);
int run_json(const Options &options, Clock::time_point deadline);
int run_influx(const Options &options, Clock::time_point deadline);
int run_textfile(const Options &options, Clock::time_point deadline);

// {"error": ..., "time": ...} on standard output.
void print_json_error(const std::string &error);

// The status of a run that delivered no report: bad arguments or output that could not be written.
int failure_status(Command command);

// Usage errors, in each consumer's own way; returns failure_status(command).
int report_usage_error(Command command, const std::string &error);

#endif
