#include <cstdio>

#include "outputs.h"

namespace {

constexpr const char *common =
    "  -r N         retries of a failed reading (default: 2)\n"
    "  -b PROGRAM   the reading program (default: wex_q40_test next to wex-q40; variable WEX_Q40_TEST)\n"
    "  -l FILE      the lock file that keeps readers apart (default: /run/wex-q40/wex-q40.lock;\n"
    "               variable WEX_Q40_LOCK)\n"
    "  -h           this help; -V: the version\n";

std::string with_common(const std::string &head, const char *timeout, const std::string &tail)
{
    return head + "  -t SECONDS   the whole command ends within this limit (default: " + timeout + ")\n" + common +
           tail;
}

}  // namespace

std::string usage(Command command)
{
    switch (command) {
    case Command::check:
        return with_common(
            "Usage: check_wex_q40 [-w RANGE] [-c RANGE] [--humidity-warning RANGE] [--humidity-critical RANGE]\n"
            "         [--dewpoint-warning RANGE] [--dewpoint-critical RANGE] [-t SECONDS] [-r N] [-b PROGRAM] [-l FILE]\n"
            "A monitoring plugin: one WEX-Q40 reading against thresholds.\n"
            "  -w, -c RANGE  temperature thresholds in degrees Celsius; RANGE is [@]start:end\n"
            "                (10, 10:, ~:10, 10:20, @10:20)\n"
            "  --humidity-warning, --humidity-critical RANGE  relative humidity thresholds in percent\n"
            "  --dewpoint-warning, --dewpoint-critical RANGE  dew point thresholds in degrees Celsius\n",
            "10",
            "Exit status: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN (failed reading, time-out, bad arguments).\n");
    case Command::json:
        return with_common("Usage: wex-q40 json [-t SECONDS] [-r N] [-b PROGRAM] [-l FILE]\n"
                           "Prints one reading as a JSON object on one line.\n",
                           "10", "Exit status: 0 for a reading, 1 for a failed reading or bad arguments.\n");
    case Command::influx:
        return with_common("Usage: wex-q40 influx [-t SECONDS] [-r N] [-b PROGRAM] [-l FILE]\n"
                           "Prints one reading in InfluxDB line protocol.\n",
                           "10", "Exit status: 0 for a reading, 1 for a failed reading or bad arguments.\n");
    case Command::textfile:
        return with_common(
            "Usage: wex-q40 textfile [-d FOLDER] [-t SECONDS] [-r N] [-b PROGRAM] [-l FILE]\n"
            "Writes FOLDER/wex_q40.prom for the node exporter's textfile collector, atomically.\n"
            "  -d FOLDER    the collector's folder (default: /var/lib/prometheus/node-exporter;\n"
            "               variable WEX_Q40_TEXTFILE_DIR)\n",
            "30; variable WEX_Q40_TIMEOUT",
            "Exit status: 0 for a good reading, 1 for a failed reading (the file is still\n"
            "written, with wex_q40_read_success 0), 2 when the file cannot be written.\n");
    }
    return {};
}

std::string general_usage()
{
    return "Usage: wex-q40 check|json|influx|textfile [OPTIONS]\n"
           "Takes one WEX-Q40 reading with wex_q40_test and renders it for a monitoring system.\n"
           "wex-q40 COMMAND -h describes the options of each.\n";
}

int failure_status(Command command)
{
    constexpr int statuses[] = {3, 1, 1, 2};  // check UNKNOWN, json, influx, textfile unwritten
    return statuses[static_cast<std::size_t>(command)];
}

int report_usage_error(Command command, const std::string &error)
{
    switch (command) {
    case Command::check:
        std::printf("WEX-Q40 UNKNOWN - %s\n%s", error.c_str(), usage(command).c_str());
        break;
    case Command::json:
        print_json_error(error);
        std::fprintf(stderr, "wex-q40 json: %s\n%s", error.c_str(), usage(command).c_str());
        break;
    case Command::influx:
    case Command::textfile:
        std::fprintf(stderr, "wex-q40 %s: %s\n%s", command_name(command), error.c_str(), usage(command).c_str());
        break;
    }
    return failure_status(command);
}
