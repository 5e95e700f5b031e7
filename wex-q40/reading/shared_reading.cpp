#include "shared_reading.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <limits>
#include <string_view>

#include "atomic_file.h"
#include "fd.h"
#include "whole_number.h"

namespace wex_q40 {

namespace {

using std::chrono::nanoseconds;
using std::chrono::system_clock;

constexpr const char *format_line = "wex-q40 shared reading 1";
// Its own format, so that a reader that takes only good readings refuses it unread.
constexpr const char *failure_format_line = "wex-q40 shared failure 1";
constexpr const char *permanent_word = "permanent";
constexpr const char *passing_word = "passing";
constexpr const char *unplugged_word = "unplugged";
constexpr const char *attached_word = "attached";
constexpr std::size_t longest_file = 4096;
constexpr mode_t written_by_others = S_IWGRP | S_IWOTH;

long long since_epoch(nanoseconds time)
{
    return static_cast<long long>(time.count());
}

// "taken WALL STEADY": when the reading was taken, in nanoseconds by each clock.
bool parse_taken(std::string_view line, long long &wall_ns, long long &steady_ns)
{
    constexpr std::string_view label = "taken ";
    constexpr long long least = std::numeric_limits<long long>::min();
    constexpr long long most = std::numeric_limits<long long>::max();
    if (line.substr(0, label.size()) != label)
        return false;
    line.remove_prefix(label.size());
    const auto space = line.find(' ');
    if (space == std::string_view::npos)
        return false;
    const auto wall = wex_common::whole_number(line.substr(0, space), least, most);
    const auto steady = wex_common::whole_number(line.substr(space + 1), least, most);
    if (!wall || !steady)
        return false;
    wall_ns = *wall;
    steady_ns = *steady;
    return true;
}

// The next line of text, taken off it; nothing when no newline is left.
std::optional<std::string> next_line(std::string &text)
{
    const auto newline = text.find('\n');
    if (newline == std::string::npos)
        return std::nullopt;
    std::string line = text.substr(0, newline);
    text.erase(0, newline + 1);
    return line;
}

// Only a regular file that this user or root owns and no one else may write, so no other user's values get in.
std::optional<std::string> trusted_content(const std::string &path)
{
    const wex_common::Fd file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW));
    struct stat st {};
    if (file.fd < 0 || fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        (st.st_uid != geteuid() && st.st_uid != 0) || (st.st_mode & written_by_others) != 0 ||
        st.st_size > static_cast<off_t>(longest_file))
        return std::nullopt;
    std::string content;
    std::array<char, longest_file + 1> buffer{};
    for (;;) {
        const ssize_t n = read(file.fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        content.append(buffer.data(), static_cast<std::size_t>(n));
        if (content.size() > longest_file)
            return std::nullopt;
    }
    return content;
}

// Both clocks must agree that it is young: the wall clock across a reboot, the steady one across a clock change.
std::optional<double> age_of(long long wall_ns, long long steady_ns, unsigned max_age_s)
{
    const double max_age = max_age_s;
    const double wall_age = 1e-9 * static_cast<double>(since_epoch(system_clock::now().time_since_epoch()) - wall_ns);
    const double steady_age = 1e-9 * static_cast<double>(since_epoch(Clock::now().time_since_epoch()) - steady_ns);
    if (wall_age < 0 || wall_age >= max_age || steady_age < 0 || steady_age >= max_age)
        return std::nullopt;
    return steady_age;
}

// A line of the file stays one line.
std::string one_line(std::string text)
{
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
}

// A good reading's report as the program printed it; its three values must belong together.
std::optional<Reading> shared_values(const std::string &report)
{
    auto values = parse_report(report);
    if (!values || !dewpoint_follows(*values) || !settle(*values).empty())
        return std::nullopt;
    Reading r;
    r.good = true;
    r.values = *values;
    r.report = quotable_lines(report);
    return r;
}

// A failure: its summary, advice, whether it is permanent and whether the module was unplugged, then its lines.
std::optional<Reading> shared_failure(std::string text)
{
    const auto summary = next_line(text);
    const auto advice = next_line(text);
    const auto permanence = next_line(text);
    const auto bus = next_line(text);
    if (!summary || summary->empty() || !advice || !permanence ||
        (*permanence != permanent_word && *permanence != passing_word) || !bus ||
        (*bus != unplugged_word && *bus != attached_word))
        return std::nullopt;
    Reading r;
    r.failure.summary = *summary;
    r.failure.advice = *advice;
    r.failure.permanent = *permanence == permanent_word;
    r.failure.unplugged = *bus == unplugged_word;
    while (auto line = next_line(text))
        r.failure.lines.push_back(*line);
    return r;
}

}  // namespace

std::string shared_reading_path(const std::string &lock_file)
{
    return lock_file + ".reading";
}

void leave_shared_reading(const ReadingOptions &options, const Reading &reading)
{
    if (options.max_age_s == 0 || reading.unclosed || options.program.find('\n') != std::string::npos)
        return;
    const std::string path = shared_reading_path(options.lock_file);
    const auto slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const auto steady_taken = Clock::now() - (system_clock::now() - reading.taken);
    std::string content = std::string(reading.good ? format_line : failure_format_line) + "\nprogram " +
                          options.program + "\ntaken " + std::to_string(since_epoch(reading.taken.time_since_epoch())) +
                          " " + std::to_string(since_epoch(steady_taken.time_since_epoch())) + "\n";
    if (reading.good) {
        for (const auto &line : reading.report)
            content += line + "\n";
    } else {
        const Failure &f = reading.failure;
        content += one_line(f.summary) + "\n" + one_line(f.advice) + "\n" +
                   (f.permanent ? permanent_word : passing_word) + "\n" +
                   (f.unplugged ? unplugged_word : attached_word) + "\n";
        for (const auto &line : f.lines)
            if (content.size() + line.size() < longest_file)
                content += one_line(line) + "\n";
    }
    // Not left, the next reader reads the module itself: nothing is lost.
    replace_file(folder, path.substr(slash + 1), content);
}

std::optional<Reading> shared_reading(const ReadingOptions &options)
{
    auto content = trusted_content(shared_reading_path(options.lock_file));
    if (!content)
        return std::nullopt;
    const auto format = next_line(*content);
    const auto program = next_line(*content);
    const auto taken = next_line(*content);
    long long wall_ns = 0;
    long long steady_ns = 0;
    const bool failure = format && *format == failure_format_line && options.takes_shared_failures;
    if (!format || (*format != format_line && !failure) || !program || *program != "program " + options.program ||
        !taken || !parse_taken(*taken, wall_ns, steady_ns))
        return std::nullopt;
    const auto age = age_of(wall_ns, steady_ns, options.max_age_s);
    if (!age)
        return std::nullopt;
    auto r = failure ? shared_failure(*content) : shared_values(*content);
    if (!r)
        return std::nullopt;
    r->shared = true;
    r->age_s = *age;
    r->taken = system_clock::time_point(std::chrono::duration_cast<system_clock::duration>(nanoseconds(wall_ns)));
    return r;
}

}  // namespace wex_q40
