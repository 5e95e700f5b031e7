#include "snmp.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <limits>
#include <sstream>

#include "outputs.h"
#include "snmp_objects.h"
#include "whole_number.h"

namespace wex_q40 {

namespace {

constexpr std::size_t most_arcs = 128;
constexpr std::uint32_t largest_arc = 4294967295U;
constexpr std::size_t longest_quoted = 80;
// A request line longer than this is refused: 128 arcs of ten digits and their dots fit.
constexpr std::size_t longest_line = 2048;

enum class Line { read, too_long, ended };

// What every request is served with: each reading gets the whole budget again, from its request.
struct Serving {
    const ReadingOptions &reading;
    const SnmpOptions &snmp;
    Budget budget;
};

constexpr unsigned longest_cache_s = 3600;
// entPhysicalIndex is 1 to 2147483647, and the three sensors follow the module.
constexpr unsigned largest_entity_index = 2147483644;

// /proc/PID/stat's field of the process's start, in clock ticks after boot.
constexpr int start_time_field = 22;
// The fields after the command name in parentheses begin with the third.
constexpr int first_field_after_name = 3;
constexpr double hundredths_per_s = 100;
constexpr long long timeticks_wrap = 1LL << 32;

struct Cache {
    SnmpState state;
    bool taken = false;
    Clock::time_point taken_at;
    std::optional<double> agent_started_s;  // on the boot clock
};

std::optional<double> boot_clock_s()
{
    timespec now{};
    if (clock_gettime(CLOCK_BOOTTIME, &now) != 0)
        return std::nullopt;
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// snmpd starts its pass_persist programs itself, and its sysUpTime counts from its own start.
std::optional<double> parent_started_s()
{
    std::ifstream in("/proc/" + std::to_string(getppid()) + "/stat");
    std::string stat;
    std::getline(in, stat);
    const std::size_t name_end = stat.rfind(')');
    const long ticks_per_s = sysconf(_SC_CLK_TCK);
    if (name_end == std::string::npos || ticks_per_s <= 0)
        return std::nullopt;
    std::istringstream fields(stat.substr(name_end + 1));
    std::string field;
    for (int i = first_field_after_name; i <= start_time_field; ++i)
        if (!(fields >> field))
            return std::nullopt;
    const auto ticks = wex_common::whole_number<unsigned long long>(field, 0, ~0ULL);
    if (!ticks)
        return std::nullopt;
    return static_cast<double>(*ticks) / static_cast<double>(ticks_per_s);
}

// sysUpTime when the module was read: a shared reading was taken before it was taken up; 0 before snmpd started.
std::optional<std::uint32_t> uptime_stamp(const Reading &r, std::optional<double> agent_started_s)
{
    const auto now_s = boot_clock_s();
    if (!agent_started_s || !now_s)
        return std::nullopt;
    double up_s = *now_s - *agent_started_s;
    if (r.good)
        up_s -= std::chrono::duration<double>(std::chrono::system_clock::now() - r.taken).count();
    const long long hundredths = std::llround(std::max(up_s, 0.0) * hundredths_per_s);
    return static_cast<std::uint32_t>(hundredths % timeticks_wrap);
}

// snmpd gives its pass_persist programs the answer pipe as standard error too.
bool stderr_is_stdout()
{
    struct stat out {};
    struct stat err {};
    return fstat(1, &out) == 0 && fstat(2, &err) == 0 && out.st_dev == err.st_dev && out.st_ino == err.st_ino;
}

// Under snmpd to the system log, where a line on standard error would be taken for an answer.
void note(int priority, const std::string &text)
{
    static const bool to_syslog = stderr_is_stdout();
    if (to_syslog)
        syslog(priority, "%s", text.c_str());
    else
        std::fprintf(stderr, "wex-q40 snmp: %s\n", text.c_str());
}

// The only place an operator sees why a reading failed.
void log_problems(const Reading &r)
{
    if (r.good && r.unclosed)
        note(LOG_WARNING, unclosed_warning);
    if (!r.good && !r.failure.advice.empty())
        note(LOG_WARNING, r.failure.advice);
    if (!r.good)
        for (const auto &line : r.failure.lines)
            note(LOG_WARNING, "reading failed: " + line);
}

void refresh(Cache &cache, const Serving &options)
{
    const auto now = Clock::now();
    if (cache.taken && now - cache.taken_at < std::chrono::seconds(options.snmp.cache_s))
        return;
    SnmpState &state = cache.state;
    state.reading = take_reading(options.reading, options.budget.renewed());
    cache.taken = true;
    cache.taken_at = Clock::now();
    if (state.reading.good)
        state.last_good = static_cast<long long>(std::chrono::system_clock::to_time_t(state.reading.taken));
    if (options.snmp.base_oid.empty()) {
        state.labels = module_labels();
        state.stamp = uptime_stamp(state.reading, cache.agent_started_s);
    }
    log_problems(state.reading);
}

const SnmpObject *find(const std::vector<SnmpObject> &objects, const Oid &oid, bool next)
{
    for (const SnmpObject &o : objects)
        if (next ? oid < o.oid : oid == o.oid)
            return &o;
    return nullptr;
}

// False when snmpd can no longer read the answers.
bool say(const std::string &text)
{
    std::fputs(text.c_str(), stdout);
    return std::fflush(stdout) == 0 && std::ferror(stdout) == 0;
}

bool answer_value(const std::string &request, const std::string &oid_line, Cache &cache, const Serving &options)
{
    const auto oid = parse_oid(oid_line);
    if (!oid)
        return say("NONE\n");
    refresh(cache, options);
    const std::vector<SnmpObject> present =
        options.snmp.base_oid.empty()
            ? entity_objects(cache.state, options.snmp.entity_index, options.snmp.cache_s)
            : scalar_objects(cache.state, *parse_oid(options.snmp.base_oid));
    const SnmpObject *o = find(present, *oid, request == "getnext");
    if (o == nullptr)
        return say("NONE\n");
    return say(oid_text(o->oid) + "\n" + o->type + "\n" + o->value + "\n");
}

// One line, whose end is skipped unread and unstored when it is too long.
Line read_line(std::string &line)
{
    std::array<char, longest_line + 2> buffer{};
    std::cin.getline(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    const auto taken = static_cast<std::size_t>(std::cin.gcount());
    if (!std::cin.fail()) {
        line.assign(buffer.data(), std::cin.eof() ? taken : taken - 1);
        if (line.size() <= longest_line)
            return Line::read;
    } else if (std::cin.eof()) {
        return Line::ended;
    } else {
        std::cin.clear();
        std::cin.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    }
    note(LOG_WARNING, "request line longer than " + std::to_string(longest_line) + " bytes refused");
    line.clear();
    return Line::too_long;
}

// The OID, then the type and value; a read-only subtree needs neither.
bool read_set(std::string &line)
{
    if (read_line(line) == Line::ended)
        return false;
    return read_line(line) != Line::ended;
}

// False when the answer could not be written; end of input inside a request ends quietly.
bool serve(const std::string &request, Cache &cache, const Serving &options)
{
    std::string line;
    if (request == "PING")
        return say("PONG\n");
    if (request == "get" || request == "getnext")
        return read_line(line) == Line::ended || answer_value(request, line, cache, options);
    if (request == "set")
        return !read_set(line) || say("not-writable\n");
    if (!request.empty())
        note(LOG_NOTICE, "unknown request ignored: " + request.substr(0, longest_quoted));
    return true;
}

}  // namespace

std::optional<Oid> parse_oid(std::string_view text)
{
    if (!text.empty() && text.front() == '.')
        text.remove_prefix(1);
    Oid oid;
    while (oid.size() < most_arcs) {
        const std::size_t dot = text.find('.');
        const auto arc = wex_common::whole_number<std::uint32_t>(text.substr(0, dot), 0, largest_arc);
        if (!arc)
            return std::nullopt;
        oid.push_back(*arc);
        if (dot == std::string_view::npos)
            return oid.size() >= 2 ? std::optional<Oid>(oid) : std::nullopt;
        text.remove_prefix(dot + 1);
    }
    return std::nullopt;
}

std::string oid_text(const Oid &oid)
{
    std::string text;
    for (const std::uint32_t arc : oid)
        text += "." + std::to_string(arc);
    return text;
}

namespace {

// Stored as snmpd writes OIDs, so that the answers match its requests.
std::string set_base_oid(SnmpOptions &o, const char *value, const std::string &named)
{
    const auto oid = parse_oid(value);
    if (!oid)
        return named + " needs a numeric OID such as .1.3.6.1.4.1.8072.9999.9999.1: " + value;
    o.base_oid = oid_text(*oid);
    return {};
}

std::string set_cache(SnmpOptions &o, const char *value, const std::string &named)
{
    return set_count(o.cache_s, value, named, 0, longest_cache_s,
                     "a whole number of seconds from 0 to " + std::to_string(longest_cache_s));
}

std::string set_entity_index(SnmpOptions &o, const char *value, const std::string &named)
{
    return set_count(o.entity_index, value, named, 1, largest_entity_index,
                     "a whole number from 1 to " + std::to_string(largest_entity_index));
}

}  // namespace

const std::array<OptionRow<SnmpOptions>, 3> snmp_rows{{
    {{"entity-index", 0, "N", "the module's row in the entity and sensor tables, its sensors the next three", "1000",
      nullptr, false},
     set_entity_index},
    {{"base-oid", 0, "OID", "the former scalars under OID instead of the tables", nullptr, nullptr, false},
     set_base_oid},
    {{"cache", 0, "SECONDS", "how long one reading answers requests", "5", nullptr, false}, set_cache},
}};

// Serves until snmpd closes its end.
int run_snmp(const ReadingOptions &reading, const SnmpOptions &options, const Budget &budget)
{
    openlog("wex-q40-snmp", LOG_PID, LOG_DAEMON);
    const Serving serving{reading, options, budget};
    Cache cache;
    cache.agent_started_s = parent_started_s();
    std::string request;
    for (Line line; (line = read_line(request)) != Line::ended;)
        if (line == Line::read && !serve(request, cache, serving))
            return exit_status::unwritten;
    return exit_status::good;
}

}  // namespace wex_q40
