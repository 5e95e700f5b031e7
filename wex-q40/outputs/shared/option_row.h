// One option of a subcommand, from which its getopt table, its help, its default and its completion are made.
#ifndef WEX_Q40_OPTION_ROW_H
#define WEX_Q40_OPTION_ROW_H

#include <optional>
#include <string>

#include "whole_number.h"

namespace wex_q40 {

// What the help and the completion show of an option.
struct OptionText {
    const char *name;      // the long name, without the dashes
    char letter;           // 0: long only
    const char *argument;  // the value's name in the help; nullptr: a flag, which takes none
    const char *help;      // what it does, with its default where that is not one value
    const char *fallback;  // the default, set as if given; nullptr: none
    const char *variable;  // the environment variable that stands in for it when not given; nullptr: none
    bool repeated;         // may be given more than once, each time adding to the last
};

// named is how the error names where the value came from ("-t", "--max-age", "WEX_Q40_TIMEOUT").
template <typename Options>
using OptionSetter = std::string (*)(Options &options, const char *value, const std::string &named);

template <typename Options>
struct OptionRow {
    OptionText text;
    OptionSetter<Options> set;  // empty when the value is taken, else what is wrong with it
};

// Whole numbers in decimal only, as the time-out of the textfile hook always was.
inline std::optional<unsigned> parse_count(std::string_view text, unsigned least, unsigned most)
{
    return wex_common::whole_number(text, least, most);
}

// An empty path would silently mean something else: the default program, the root folder.
inline std::string set_path(std::string &slot, const char *value, const std::string &named)
{
    if (*value == '\0')
        return named + " needs a value that is not empty";
    slot = value;
    return {};
}

// "needs a whole number of seconds above 0" and its kin, for a count from least to most.
inline std::string set_count(unsigned &slot, const char *value, const std::string &named, unsigned least,
                             unsigned most, const std::string &needs)
{
    const auto count = parse_count(value, least, most);
    if (!count)
        return named + " needs " + needs + ": " + value;
    slot = *count;
    return {};
}

}  // namespace wex_q40

#endif
