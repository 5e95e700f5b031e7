#include "snmp.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <limits>

#include "exit_status.h"
#include "oid.h"
#include "signals.h"
#include "snmp_reader.h"

namespace wex_q40 {

namespace {

constexpr std::size_t longest_quoted = 80;
// A request line longer than this is refused: 128 arcs of ten digits and their dots fit.
constexpr std::size_t longest_line = 2048;

enum class Line { read, too_long, ended };

constexpr unsigned longest_cache_s = 3600;
// entPhysicalIndex is 1 to 2147483647, and the three sensors follow the module.
constexpr unsigned largest_entity_index = 2147483644;
constexpr std::uint32_t largest_update_rate_ms = 4294967295U;

// The subtrees of ENTITY-MIB and ENTITY-SENSOR-MIB, whose tables the command serves.
const std::array<Oid, 2> standard_subtrees{{{1, 3, 6, 1, 2, 1, 47}, {1, 3, 6, 1, 2, 1, 99}}};

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

std::uint32_t update_rate_ms(const SnmpReader &reader)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(served_age_bound(reader)).count();
    return static_cast<std::uint32_t>(std::clamp<long long>(ms, 0, largest_update_rate_ms));
}

bool answer_value(const std::string &request, const std::string &oid_line, SnmpReader &reader,
                  const SnmpOptions &options)
{
    const auto oid = parse_oid(oid_line);
    const bool next = request == "getnext";
    // "01" is not how snmpd writes an arc: no instance of ours, though it still has a place in the order.
    if (!oid || (!next && oid_text(*oid) != (oid_line.front() == '.' ? "" : ".") + oid_line))
        return say("NONE\n");
    const SnmpState state = current_state(reader);
    const std::vector<SnmpObject> present =
        options.base_oid.empty() ? entity_objects(state, options.entity_index, update_rate_ms(reader))
                                 : scalar_objects(state, *parse_oid(options.base_oid));
    const SnmpObject *o = find(present, *oid, next);
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
bool serve(const std::string &request, SnmpReader &reader, const SnmpOptions &options)
{
    std::string line;
    if (request == "PING")
        return say("PONG\n");
    if (request == "get" || request == "getnext")
        return read_line(line) == Line::ended || answer_value(request, line, reader, options);
    if (request == "set")
        return !read_set(line) || say("not-writable\n");
    if (!request.empty())
        note(LOG_NOTICE, "unknown request ignored: " + request.substr(0, longest_quoted));
    return true;
}

// Stored as snmpd writes OIDs, so that the answers match its requests.
std::string set_base_oid(SnmpOptions &o, const char *value, const std::string &named)
{
    const auto oid = parse_oid(value);
    if (!oid || oid->size() < 2)
        return named + " needs a numeric OID such as .1.3.6.1.4.1.8072.9999.9999.1: " + value;
    for (const Oid &standard : standard_subtrees) {
        const std::size_t shared = std::min(standard.size(), oid->size());
        if (std::equal(standard.begin(), standard.begin() + static_cast<std::ptrdiff_t>(shared), oid->begin()))
            return named + " " + oid_text(*oid) + " overlaps " + oid_text(standard) +
                   ", where the entity and sensor tables have their standard meaning; use a subtree of your own such "
                   "as .1.3.6.1.4.1.8072.9999.9999.1";
    }
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
    {{"cache", 0, "SECONDS", "the time from one reading to the next; 0: a reading when asked", "5", nullptr, false},
     set_cache},
}};

namespace {

// A shared reading was told by the reader that took it.
void told(const Reading &reading)
{
    if (!reading.shared)
        log_problems(reading);
}

// The handled signals reach the reading's thread only, as they reached the one thread before it.
void leave_signals_to_the_reader()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int s : handled_signals)
        sigaddset(&set, s);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

}  // namespace

// Serves until snmpd closes its end.
int run_snmp(const ReadingOptions &reading, const SnmpOptions &options, const Budget &budget)
{
    openlog("wex-q40-snmp", LOG_PID, LOG_DAEMON);
    SnmpReader reader;
    reader.reading = reading;
    reader.reading.takes_shared_failures = true;
    // A shared reading older than a served value may be is not taken up, so that it never stands in for a reading.
    reader.reading.max_age_s = static_cast<unsigned>(std::min<long long>(
        reading.max_age_s, options.cache_s + std::chrono::duration_cast<std::chrono::seconds>(budget.had()).count()));
    reader.budget = budget;
    reader.cache = std::chrono::seconds(options.cache_s);
    reader.labels = options.base_oid.empty();
    reader.told = told;
    reader.origin_s = agent_origin_s();
    start_reader(reader);
    leave_signals_to_the_reader();
    int status = exit_status::good;
    std::string request;
    for (Line line; (line = read_line(request)) != Line::ended;)
        if (line == Line::read && !serve(request, reader, options)) {
            status = exit_status::unwritten;
            break;
        }
    stop_reader(reader);
    return status;
}

}  // namespace wex_q40
