// wex-q40: takes one reading with wex_q40_test and renders it for a monitoring system.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "outputs.h"
#include "signals.h"

namespace {

constexpr int bad_usage = 2;
constexpr int check_help_status = 3;

bool is_named(const char *path, const char *name)
{
    const char *slash = std::strrchr(path, '/');
    return std::strcmp(slash != nullptr ? slash + 1 : path, name) == 0;
}

int run_command(Command command, int argc, char **argv)
{
    const ParsedOptions parsed = parse_options(command, argc, argv);
    const Options &options = parsed.options;
    if (!parsed.error.empty())
        return report_usage_error(command, parsed.error);
    const int help_status = command == Command::check ? check_help_status : 0;
    if (options.help) {
        std::printf("%s", usage(command).c_str());
        return help_status;
    }
    if (options.version) {
        std::printf("wex-q40 %s\n", WEX_VERSION);
        return help_status;
    }
    const auto deadline = Clock::now() + std::chrono::seconds(options.timeout_s);
    switch (command) {
    case Command::check:
        return run_check(options, deadline);
    case Command::json:
        return run_json(options, deadline);
    case Command::influx:
        return run_influx(options, deadline);
    case Command::textfile:
        return run_textfile(options, deadline);
    }
    return bad_usage;
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

int run(Command command, int argc, char **argv)
{
    const int status = run_command(command, argc, argv);
    return written(status, failure_status(command));
}

}  // namespace

int main(int argc, char **argv)
{
    install_signal_handlers();
    if (argc > 0 && is_named(argv[0], "check_wex_q40"))
        return run(Command::check, argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "%s", general_usage().c_str());
        return bad_usage;
    }
    const std::string first = argv[1];
    if (first == "-h" || first == "--help") {
        std::printf("%s", general_usage().c_str());
        return written(0, bad_usage);
    }
    if (first == "-V" || first == "--version") {
        std::printf("wex-q40 %s\n", WEX_VERSION);
        return written(0, bad_usage);
    }
    const auto command = command_named(first);
    if (!command) {
        std::fprintf(stderr, "wex-q40: unknown command: %s\n%s", first.c_str(), general_usage().c_str());
        return bad_usage;
    }
    return run(*command, argc - 1, argv + 1);
}
