// wex-q40 as a Munin plugin: config, the values, and autoconf, in two graphs of one multigraph plugin.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "outputs.h"

namespace wex_q40 {

namespace {

// munin-node-configure reads these from the file its link points to, this executable.
[[gnu::used]] constexpr char magic_markers[] = "\n#%# family=auto\n#%# capabilities=autoconf multigraph\n";

struct Field {
    const char *name;  // also the prefix of its thresholds in the environment
    const char *label;
    const char *info;
    const char *min;
    const char *max;
};

struct Graph {
    const char *name;
    const char *title;
    const char *vlabel;
    const char *args;
    Field fields[2];
    std::size_t count;
};

// The sensor's range: -40 to 123.8 C, 0 to 100 %.
constexpr Graph graphs[] = {
    {"wex_q40_temperature",
     "WEX-Q40 temperature and dew point",
     "degrees Celsius",
     "--base 1000",
     {{"temperature", "temperature", "The air temperature measured by the WEX-Q40 module.", "-40", "124"},
      {"dewpoint", "dew point", "The dew point of the measured temperature and relative humidity.", "-80", "124"}},
     2},
    {"wex_q40_humidity",
     "WEX-Q40 relative humidity",
     "percent",
     "--base 1000 --lower-limit 0 --upper-limit 100 --rigid",
     {{"humidity", "relative humidity", "The relative humidity measured by the WEX-Q40 module.", "0", "100"}, {}},
     1},
};

bool is_number(std::string_view text)
{
    if (!text.empty() && text[0] == '-')
        text.remove_prefix(1);
    const auto point = text.find('.');
    const std::string_view whole = text.substr(0, point);
    const std::string_view fraction = point == std::string_view::npos ? "0" : text.substr(point + 1);
    const auto digits = [](std::string_view s) { return !s.empty() && s.find_first_not_of("0123456789") == s.npos; };
    return digits(whole) && digits(fraction);
}

// "max", "min:", ":max" or "min:max", as Munin takes a threshold.
bool is_threshold(std::string_view text)
{
    const auto colon = text.find(':');
    if (colon == std::string_view::npos)
        return is_number(text);
    const std::string_view low = text.substr(0, colon);
    const std::string_view high = text.substr(colon + 1);
    return (!low.empty() || !high.empty()) && (low.empty() || is_number(low)) && (high.empty() || is_number(high));
}

// As Munin's own plugins take it: FIELD_warning, else warning, from plugin-conf.d's env lines.
void print_threshold(const Field &f, const char *level)
{
    std::string variable = std::string(f.name) + "_" + level;
    const char *value = std::getenv(variable.c_str());
    if (value == nullptr || *value == '\0') {
        variable = level;
        value = std::getenv(level);
    }
    if (value == nullptr || *value == '\0')
        return;
    if (!is_threshold(value)) {
        std::fprintf(stderr, "wex-q40 munin: %s is not a Munin threshold (min:max), left out: %s\n",
                     variable.c_str(), value);
        return;
    }
    std::printf("%s.%s %s\n", f.name, level, value);
}

void print_config()
{
    for (const Graph &g : graphs) {
        std::printf("multigraph %s\ngraph_title %s\ngraph_vlabel %s\ngraph_args %s\ngraph_scale no\n"
                    "graph_category sensors\ngraph_info Read by wex_q40_test from the WEX-Q40 USB module.\n",
                    g.name, g.title, g.vlabel, g.args);
        for (std::size_t i = 0; i < g.count; ++i) {
            const Field &f = g.fields[i];
            std::printf("%s.label %s\n%s.info %s\n%s.min %s\n%s.max %s\n", f.name, f.label, f.name, f.info, f.name,
                        f.min, f.name, f.max);
            print_threshold(f, "warning");
            print_threshold(f, "critical");
        }
    }
}

// U, never an older value, when there is none: Munin then draws a gap.
std::string value_of(const Reading &r, std::string_view field)
{
    if (!r.good)
        return "U";
    if (field == "temperature")
        return r.values.temperature;
    if (field == "humidity")
        return r.values.humidity;
    return r.values.dewpoint_is_number ? r.values.dewpoint : "U";
}

void print_failure(const Failure &f)
{
    std::fprintf(stderr, "wex-q40 munin: %s\n", f.summary.c_str());
    if (!f.advice.empty())
        std::fprintf(stderr, "wex-q40 munin: %s\n", f.advice.c_str());
}

int fetch(const ReadingOptions &reading, const Budget &budget)
{
    const Reading r = take_reading(reading, budget);
    if (!r.good)
        print_failure(r.failure);
    else if (r.unclosed)
        std::fprintf(stderr, "wex-q40 munin: %s\n", unclosed_warning);
    for (const Graph &g : graphs) {
        std::printf("multigraph %s\n", g.name);
        for (std::size_t i = 0; i < g.count; ++i)
            std::printf("%s.value %s\n", g.fields[i].name, value_of(r, g.fields[i].name).c_str());
    }
    return exit_status::good;
}

// Whether munin-node, as it runs the plugin (its user, group and environment), gets a reading.
int autoconf(const ReadingOptions &reading, const Budget &budget)
{
    const char *multigraph = std::getenv("MUNIN_CAP_MULTIGRAPH");
    if (multigraph == nullptr || std::string_view(multigraph) != "1") {
        std::printf("no (this munin-node cannot take multigraph plugins)\n");
        return exit_status::good;
    }
    const Reading r = take_reading(reading, budget);
    if (r.good)
        std::printf("yes\n");
    else
        std::printf("no (%s)\n", r.failure.summary.c_str());
    return exit_status::good;
}

}  // namespace

int run_munin(const ReadingOptions &reading, const std::string &word, const Budget &budget)
{
    if (word == "config") {
        print_config();
        return exit_status::good;
    }
    if (word == "autoconf")
        return autoconf(reading, budget);
    return fetch(reading, budget);
}

}  // namespace wex_q40
