// wex_q40_option_rows: prints every subcommand's option rows, one a line, for the check of the man pages:
// command, own or common, long name, letter, argument, variable and default, separated by tabs, empty for none.
#include <cstddef>
#include <cstdio>
#include <vector>

#include "commands.h"
#include "options.h"

namespace {

const char *or_empty(const char *text)
{
    return text != nullptr ? text : "";
}

}  // namespace

int main()
{
    using namespace wex_q40;
    for (const Subcommand &s : subcommands()) {
        const std::vector<OptionText> rows = option_texts(s);
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const OptionText &t = rows[i];
            const char letter[2] = {t.letter, '\0'};
            std::printf("%s\t%s\t%s\t%s\t%s\t%s\t%s\n", s.name, i < s.own.count ? "own" : "common", t.name, letter,
                        or_empty(t.argument), or_empty(t.variable), or_empty(t.fallback));
        }
    }
    return std::fflush(stdout) == 0 && std::ferror(stdout) == 0 ? 0 : 1;
}
