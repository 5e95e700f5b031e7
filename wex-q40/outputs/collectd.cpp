// wex-q40 collectd: one reading as the exec plugin's PUTVAL lines; collectd starts it again each interval.
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "module_identity.h"
#include "outputs.h"
#include "whole_number.h"

namespace wex_q40 {

namespace {

constexpr const char *plugin = "wex_q40";
// collectd's own default, for a run outside collectd.
constexpr const char *default_interval_s = "10";
constexpr unsigned longest_interval_s = 86400;
constexpr std::size_t longest_name = 63;  // collectd's DATA_MAX_NAME_LEN less its end
// "HOST/PLUGIN-INSTANCE/" then "TYPE-TYPE_INSTANCE", the interval, the value at N, now.
constexpr char putval_format[] = "PUTVAL \"%s%s\" interval=%s N:%s\n";

// collectd's identifiers are split at / and quoted with ": neither may appear, nor anything unprintable.
std::string identifier_part(const std::string &text)
{
    std::string out;
    for (const char c : text.substr(0, longest_name))
        out += c > ' ' && c <= '~' && c != '/' && c != '"' && c != '\\' ? c : '_';
    return out;
}

std::string host_name()
{
    if (const char *host = std::getenv("COLLECTD_HOSTNAME"); host != nullptr && *host != '\0')
        return identifier_part(host);
    std::array<char, 256> name{};
    if (gethostname(name.data(), name.size() - 1) != 0 || name[0] == '\0')
        return "localhost";
    return identifier_part(name.data());
}

// collectd gives it in seconds, with decimals ("10.000"); PUTVAL takes whole seconds too.
std::string interval_s()
{
    const char *given = std::getenv("COLLECTD_INTERVAL");
    std::string text = given != nullptr && *given != '\0' ? given : default_interval_s;
    const auto point = text.find('.');
    if (point != std::string::npos && text.find_first_not_of('0', point + 1) == std::string::npos)
        text.erase(point);
    if (!wex_common::whole_number(text, 1U, longest_interval_s)) {
        std::fprintf(stderr, "wex-q40 collectd: COLLECTD_INTERVAL is not a whole number of seconds: %s; %s s taken\n",
                     text.c_str(), default_interval_s);
        return default_interval_s;
    }
    return text;
}

// The module's serial number, so that its history stays its own on any port; else its place on the bus.
std::string instance()
{
    const auto module = module_identity();
    if (module && !module->serial.empty())
        return identifier_part(module->serial);
    if (module && !module->bus_path.empty())
        return "usb" + identifier_part(module->bus_path);
    return "module";
}

}  // namespace

int run_collectd(const ReadingOptions &reading, const Budget &budget)
{
    const Reading r = take_reading(reading, budget);
    if (!r.good) {
        // collectd logs the standard error of its exec programs: one line, which says what to do where known.
        std::fprintf(stderr, "wex-q40 collectd: %s%s%s\n", r.failure.summary.c_str(),
                     r.failure.advice.empty() ? "" : "; ", r.failure.advice.c_str());
        return exit_status::failed_reading;
    }
    if (r.unclosed)
        std::fprintf(stderr, "wex-q40 collectd: %s\n", unclosed_warning);
    const std::string prefix = host_name() + "/" + plugin + "-" + instance() + "/";
    const std::string interval = interval_s();
    const auto putval = [&](const char *type, const std::string &value) {
        std::printf(putval_format, prefix.c_str(), type, interval.c_str(), value.c_str());
    };
    putval("temperature-air", r.values.temperature);
    putval("humidity-relative", r.values.humidity);
    putval("temperature-dewpoint", r.values.dewpoint_is_number ? r.values.dewpoint : "U");
    return exit_status::good;
}

}  // namespace wex_q40
