// wex_q40_completion TEMPLATE OUTPUT: writes wex-q40's bash completion, the
// template with its table filled in from the subcommands and their getopt tables.
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "commands.h"
#include "options.h"

namespace {

using namespace wex_q40;

constexpr std::string_view table_slot = "@WEX_Q40_TABLE@";

struct Words {
    std::string all;
    std::string valued;  // those that take a value
};

void add(std::string &list, std::string_view word)
{
    if (!list.empty())
        list += ' ';
    list += word;
}

// The long options, then the letters, as getopt_long takes them.
Words option_words(const Subcommand &s)
{
    const OptionTable table = option_table(s);
    Words words;
    for (const option &o : table.longs) {
        if (o.name == nullptr)
            break;
        const std::string word = std::string("--") + o.name;
        add(words.all, word);
        if (o.has_arg == required_argument)
            add(words.valued, word);
    }
    const std::string &letters = table.letters;
    for (std::size_t i = letters.find_first_not_of("+:"); i < letters.size(); ++i) {
        if (letters[i] == ':')
            continue;
        const std::string word = std::string("-") + letters[i];
        add(words.all, word);
        if (i + 1 < letters.size() && letters[i + 1] == ':')
            add(words.valued, word);
    }
    return words;
}

std::string table_function()
{
    std::string commands;
    for (const Subcommand &s : subcommands())
        add(commands, s.name);
    std::string general;
    for (const auto &options : {help_options, version_options})
        for (std::string_view o : options)
            add(general, o);
    std::string text =
        "# Made by wex_q40_completion from the subcommands and their getopt tables: sets commands, help and\n"
        "# general; for the command $1, options and valued (those that take a value), or fails.\n"
        "_wex_q40_table() {\n"
        "    commands='" + commands + "'\n"
        "    help='" + std::string(help_command) + "'\n"
        "    general='" + general + "'\n"
        "    case $1 in\n";
    for (const Subcommand &s : subcommands()) {
        const Words words = option_words(s);
        text += "    " + std::string(s.name) + ")\n        options='" + words.all + "'\n        valued='" +
                words.valued + "' ;;\n";
    }
    return text + "    *) return 1 ;;\n    esac\n}";
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::cerr << "usage: wex_q40_completion TEMPLATE OUTPUT\n";
        return 2;
    }
    std::ifstream in(argv[1]);
    std::ostringstream read;
    read << in.rdbuf();
    std::string script = read.str();
    const auto at = script.find(table_slot);
    if (!in.is_open() || at == std::string::npos) {
        std::cerr << "wex_q40_completion: no " << table_slot << " in " << argv[1] << "\n";
        return 1;
    }
    script.replace(at, table_slot.size(), table_function());
    std::ofstream out(argv[2], std::ios::trunc);
    out << script;
    out.close();
    if (!out) {
        std::cerr << "wex_q40_completion: cannot write " << argv[2] << "\n";
        return 1;
    }
    return 0;
}
