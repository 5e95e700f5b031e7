#include "options.h"

#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "commands.h"

namespace wex_q40 {

namespace {

constexpr unsigned longest_timeout_s = 86400;
constexpr unsigned most_retries = 10;
constexpr unsigned longest_max_age_s = 3600;
// getopt_long's value for an option without a letter: past every char.
constexpr int first_long_only = 256;

std::string set_timeout(CommonOptions &o, const char *value, const std::string &named)
{
    return set_count(o.timeout_s, value, named, 1, longest_timeout_s, "a whole number of seconds above 0");
}

std::string set_retries(CommonOptions &o, const char *value, const std::string &named)
{
    return set_count(o.reading.retries, value, named, 0, most_retries,
                     "a whole number from 0 to " + std::to_string(most_retries));
}

std::string set_max_age(CommonOptions &o, const char *value, const std::string &named)
{
    return set_count(o.reading.max_age_s, value, named, 0, longest_max_age_s,
                     "a whole number of seconds from 0 to " + std::to_string(longest_max_age_s));
}

std::string set_program(CommonOptions &o, const char *value, const std::string &named)
{
    return set_path(o.reading.program, value, named);
}

std::string set_lock(CommonOptions &o, const char *value, const std::string &named)
{
    return set_path(o.reading.lock_file, value, named);
}

std::string set_calibration(CommonOptions &o, const char *value, const std::string &named)
{
    return set_path(o.reading.calibration_path, value, named);
}

std::string set_help(CommonOptions &o, const char *, const std::string &)
{
    o.help = true;
    return {};
}

std::string set_version(CommonOptions &o, const char *, const std::string &)
{
    o.version = true;
    return {};
}

// The rows every subcommand has, with the defaults its table gives.
std::vector<OptionRow<CommonOptions>> common_rows(const Subcommand &s)
{
    return {
        {{"timeout", 't', "SECONDS", s.timeout_help, s.timeout, s.timeout_variable, false}, set_timeout},
        // A reading killed part-way can leave the sensor mid-frame for the next two readings.
        {{"retries", 'r', "N", "retries of a failed reading", "2", nullptr, false}, set_retries},
        {{"max-age", 0, "SECONDS",
          "take another reader's reading up to this old instead of reading the module; 0: always read it",
          s.max_age, nullptr, false},
         set_max_age},
        {{"program", 'b', "PROGRAM", "the reading program, by default wex_q40_test next to wex-q40", nullptr,
          "WEX_Q40_TEST", false},
         set_program},
        {{"lock", 'l', "FILE", "the lock file that keeps readers apart", "/run/wex-q40/wex-q40.lock", "WEX_Q40_LOCK",
          false},
         set_lock},
        {{"calibration", 0, "FILE",
          "the module's corrections; by default /etc/wex-q40/calibration, none when that does not exist", nullptr,
          calibration_variable, false},
         set_calibration},
        {{"help", 'h', nullptr, "this help", nullptr, nullptr, false}, set_help},
        {{"version", 'V', nullptr, "the version", nullptr, nullptr, false}, set_version},
    };
}

// The subcommand's own rows and the common ones as one list, in which a row's index is its getopt id.
struct Rows {
    const Subcommand &s;
    std::vector<OptionRow<CommonOptions>> common = common_rows(s);

    std::size_t size() const { return s.own.count + common.size(); }
    const OptionText &text(std::size_t i) const { return i < s.own.count ? s.own.text(i) : common[i - s.own.count].text; }
    std::string set(Options &o, std::size_t i, const char *value, const std::string &named) const
    {
        return i < s.own.count ? s.own.set(o, i, value, named) : common[i - s.own.count].set(o.common, value, named);
    }
    int id(std::size_t i) const
    {
        const char letter = text(i).letter;
        return letter != 0 ? letter : first_long_only + static_cast<int>(i);
    }
    std::size_t index_of(int id) const
    {
        for (std::size_t i = 0; i < size(); ++i)
            if (this->id(i) == id)
                return i;
        return size();
    }
};

// How the command line names an option: its letter, else its long name.
std::string named(const OptionText &t)
{
    return t.letter != 0 ? std::string("-") + t.letter : std::string("--") + t.name;
}

// The rows' defaults, set as if given; a default that does not parse is the table's own fault.
std::string set_defaults(const Rows &rows, Options &o)
{
    std::string error;
    for (std::size_t i = 0; i < rows.size() && error.empty(); ++i)
        if (const char *fallback = rows.text(i).fallback)
            error = rows.set(o, i, fallback, named(rows.text(i)));
    return error;
}

// One of the subcommand's words, "config" of "config|autoconf".
bool takes_word(const Subcommand &s, std::string_view word)
{
    if (s.words == nullptr || word.empty())
        return false;
    const std::string_view words = s.words;
    for (std::size_t start = 0; start <= words.size();) {
        const std::size_t bar = std::min(words.find('|', start), words.size());
        if (words.substr(start, bar - start) == word)
            return true;
        start = bar + 1;
    }
    return false;
}

std::string parse_command_line(const Rows &rows, Options &o, std::vector<bool> &given, int argc, char **argv)
{
    const OptionTable table = option_table(rows.s);
    opterr = 0;
    optind = 1;
    for (int c; (c = getopt_long(argc, argv, table.letters.c_str(), table.longs.data(), nullptr)) != -1;) {
        const char *as_given = argv[optind - 1];
        if (c == ':')
            return std::string("option needs a value: ") + as_given;
        const std::size_t i = rows.index_of(c);
        if (i == rows.size())
            return std::string("unknown option: ") + as_given;
        given[i] = true;
        if (std::string error = rows.set(o, i, optarg, named(rows.text(i))); !error.empty())
            return error;
    }
    if (optind + 1 == argc && takes_word(rows.s, argv[optind]))
        o.common.word = argv[optind];
    else if (optind < argc)
        return std::string("unexpected argument: ") + argv[optind];
    return {};
}

// A variable stands in for its option only when a reading is taken without it.
std::string set_from_environment(const Rows &rows, Options &o, const std::vector<bool> &given)
{
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const char *variable = rows.text(i).variable;
        const char *value = variable != nullptr && !given[i] ? std::getenv(variable) : nullptr;
        if (value != nullptr && *value != '\0')
            if (std::string error = rows.set(o, i, value, variable); !error.empty())
                return error;
    }
    return {};
}

}  // namespace

// A bare name would be looked up in the current folder, where anyone may have put a program of that name.
std::string program_next_to_self(std::string &error)
{
    std::array<char, 4096> path{};
    const ssize_t n = readlink("/proc/self/exe", path.data(), path.size() - 1);
    if (n <= 0 || path[0] != '/') {
        error = std::string("cannot find wex_q40_test beside wex-q40: /proc/self/exe cannot be read (") +
                std::strerror(n < 0 ? errno : ENOENT) + "); give the program with -b";
        return {};
    }
    std::string self(path.data(), static_cast<std::size_t>(n));
    return self.substr(0, self.rfind('/') + 1) + "wex_q40_test";
}

std::vector<OptionText> option_texts(const Subcommand &s)
{
    const Rows rows{s};
    std::vector<OptionText> texts;
    for (std::size_t i = 0; i < rows.size(); ++i)
        texts.push_back(rows.text(i));
    return texts;
}

// The common rows first, as the completion offers them.
OptionTable option_table(const Subcommand &s)
{
    const Rows rows{s};
    OptionTable table{"+:", {}};
    for (std::size_t n = 0; n < rows.size(); ++n) {
        const std::size_t i = (n + s.own.count) % rows.size();
        const OptionText &t = rows.text(i);
        if (t.letter != 0)
            table.letters += std::string(1, t.letter) + (t.argument != nullptr ? ":" : "");
        table.longs.push_back({t.name, t.argument != nullptr ? required_argument : no_argument, nullptr, rows.id(i)});
    }
    table.longs.push_back({nullptr, 0, nullptr, 0});
    return table;
}

ParsedOptions parse_options(const Subcommand &s, int argc, char **argv)
{
    const Rows rows{s};
    ParsedOptions parsed;
    Options &o = parsed.options;
    std::vector<bool> given(rows.size(), false);
    parsed.error = set_defaults(rows, o);
    if (parsed.error.empty())
        parsed.error = parse_command_line(rows, o, given, argc, argv);
    if (!parsed.error.empty() || o.common.help || o.common.version)
        return parsed;
    parsed.error = set_from_environment(rows, o, given);
    if (parsed.error.empty() && o.common.reading.program.empty())
        o.common.reading.program = program_next_to_self(parsed.error);
    return parsed;
}

}  // namespace wex_q40
