// The command line and environment of wex-q40: one subcommand's options, made from its rows.
#ifndef WEX_Q40_OPTIONS_H
#define WEX_Q40_OPTIONS_H

#include <getopt.h>

#include <string>
#include <vector>

#include "outputs.h"

namespace wex_q40 {

struct Subcommand;

// What every subcommand takes.
struct CommonOptions {
    ReadingOptions reading;
    unsigned timeout_s = 0;
    std::string word;  // the argument of a subcommand that takes one
    bool help = false;
    bool version = false;
};

// The common fields and one struct per subcommand, of which only the subcommand's own is set.
struct Options {
    CommonOptions common;
    CheckOptions check;
    TextfileOptions textfile;
    SnmpOptions snmp;
    MqttOptions mqtt;
    DiagnoseOptions diagnose;
};

struct ParsedOptions {
    Options options;
    std::string error;  // not empty: a usage error
};

// A subcommand's rows as the help and the completion show them: its own, then the common ones.
std::vector<OptionText> option_texts(const Subcommand &subcommand);

// What getopt_long takes for one subcommand: the letters, and the long options ending with a row of zeros.
struct OptionTable {
    std::string letters;
    std::vector<option> longs;
};
OptionTable option_table(const Subcommand &subcommand);

// argv[0] is the subcommand's name; the rows' defaults, then the command line, then for what it did not
// give the environment.
ParsedOptions parse_options(const Subcommand &subcommand, int argc, char **argv);

// wex_q40_test in the folder of the running executable; empty, and why in error, when that is not known.
std::string program_next_to_self(std::string &error);

}  // namespace wex_q40

#endif
