// wex-q40: takes one reading with wex_q40_test and renders it for a monitoring system.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "commands.h"
#include "library_probe.h"
#include "options.h"
#include "signals.h"
#include "wex_version.h"

namespace {

using namespace wex_q40;

bool is_named(const char *path, const char *name)
{
    const char *slash = std::strrchr(path, '/');
    return std::strcmp(slash != nullptr ? slash + 1 : path, name) == 0;
}

// A reading nobody received is a failure, not a success; so is a help nobody could read.
int written(int status, int failure)
{
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        std::fprintf(stderr, "wex-q40: cannot write to standard output: %s\n", std::strerror(errno != 0 ? errno : EIO));
        return failure;
    }
    return status;
}

// invoked: "check_wex_q40" through the plugin's link, else "wex-q40 <subcommand>".
int run_subcommand(const Subcommand &s, const std::string &invoked, int argc, char **argv)
{
    ParsedOptions parsed = parse_options(s, argc, argv);
    CommonOptions &options = parsed.options.common;
    if (!parsed.error.empty())
        return report_usage_error(s, parsed.error, invoked);
    if (options.help) {
        std::printf("%s", usage(s).c_str());
        return s.help_status;
    }
    if (options.version) {
        std::printf("%s %s\n", invoked.substr(0, invoked.find(' ')).c_str(), WEX_VERSION);
        return s.help_status;
    }
    // A wrong correction is never applied, nor silently left out: the command ends before the module is read.
    if (std::string error = load_calibration(options.reading.calibration_path, options.reading.calibration);
        !error.empty())
        return report_configuration_error(s, error);
    // The one budget of the command, made here; the steps that take a part of it say so.
    return s.run(parsed.options, Budget::from_now(std::chrono::seconds(options.timeout_s)));
}

int run(const Subcommand &s, const std::string &invoked, int argc, char **argv)
{
    return written(run_subcommand(s, invoked, argc, argv), s.unwritten_status);
}

bool is_one_of(std::string_view word, const std::array<std::string_view, 2> &words)
{
    return std::find(words.begin(), words.end(), word) != words.end();
}

int general_help()
{
    std::printf("%s", general_usage().c_str());
    return written(exit_status::good, exit_status::bad_usage);
}

int unknown_command(const char *name)
{
    std::fprintf(stderr, "wex-q40: unknown command: %s\n%s", name, general_usage().c_str());
    return exit_status::bad_usage;
}

// wex-q40 help [COMMAND]: argv[0] is "help"; the subcommand's help is its own -h, status and all.
int help(int argc, char **argv)
{
    if (argc > 2) {
        std::fprintf(stderr, "wex-q40 help: unexpected argument: %s\n%s", argv[2], general_usage().c_str());
        return exit_status::bad_usage;
    }
    if (argc < 2 || argv[1] == help_command)
        return general_help();
    const Subcommand *s = subcommand_named(argv[1]);
    if (s == nullptr)
        return unknown_command(argv[1]);
    char dash_h[] = "-h";
    char *args[] = {argv[1], dash_h, nullptr};
    return run(*s, std::string("wex-q40 ") + s->name, 2, args);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc > 0 && is_named(argv[0], library_probe_name))
        return run_library_probe();
    install_signal_handlers();
    if (argc > 0 && is_named(argv[0], "check_wex_q40"))
        return run(subcommand(Command::check), "check_wex_q40", argc, argv);
    // Munin runs its plugins by the name of their link.
    if (argc > 0 && is_named(argv[0], "wex_q40"))
        return run(subcommand(Command::munin), "wex_q40", argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "%s", general_usage().c_str());
        return exit_status::bad_usage;
    }
    const std::string_view first = argv[1];
    if (is_one_of(first, help_options))
        return general_help();
    if (is_one_of(first, version_options)) {
        std::printf("wex-q40 %s\n", WEX_VERSION);
        return written(exit_status::good, exit_status::bad_usage);
    }
    if (first == help_command)
        return help(argc - 1, argv + 1);
    const Subcommand *s = subcommand_named(first);
    if (s == nullptr)
        return unknown_command(argv[1]);
    return run(*s, std::string("wex-q40 ") + s->name, argc - 1, argv + 1);
}
