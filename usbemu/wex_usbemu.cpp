// Runs a program against the emulated module: wex_usbemu [OPTIONS] -- PROGRAM [ARGS...].
// The program's output passes through unchanged and its exit status becomes ours.
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>

#include "emulator.h"

namespace {

constexpr int usage_status = 2;
constexpr int signal_status_base = 128;
constexpr int exec_failed_status = 127;

const char usage[] =
    "usage: wex_usbemu [--raw-temp N] [--raw-hum N] [--busy N] [--never-ready] [--mute]\n"
    "                  [--bad-crc temp|hum] [--vanish-after N] [--node-closed] [--claimed] [--absent]\n"
    "                  -- PROGRAM [ARGS...]\n";

unsigned long number(const char *text, unsigned long max)
{
    char *end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || value > max)
        throw std::invalid_argument(std::string("not a usable number: ") + text);
    return value;
}

// Returns the index of PROGRAM in argv.
int parse(int argc, char **argv, usbemu::Config &config)
{
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const bool has_value = i + 1 < argc;
        if (option == "--") {
            if (i + 1 >= argc)
                break;
            return i + 1;
        } else if (option == "--raw-temp" && has_value) {
            config.sensor.raw_temperature = static_cast<std::uint16_t>(number(argv[++i], 0xFFFF));
        } else if (option == "--raw-hum" && has_value) {
            config.sensor.raw_humidity = static_cast<std::uint16_t>(number(argv[++i], 0xFFFF));
        } else if (option == "--busy" && has_value) {
            config.sensor.busy_samples = static_cast<unsigned>(number(argv[++i], 1000000));
        } else if (option == "--never-ready") {
            config.sensor.never_ready = true;
        } else if (option == "--mute") {
            config.sensor.mute = true;
        } else if (option == "--bad-crc" && has_value) {
            const std::string frame = argv[++i];
            if (frame != "temp" && frame != "hum")
                throw std::invalid_argument("--bad-crc takes temp or hum");
            config.sensor.bad_crc = frame == "temp" ? vmodule::Frame::temperature : vmodule::Frame::humidity;
        } else if (option == "--vanish-after" && has_value) {
            config.vanish_after = static_cast<unsigned>(number(argv[++i], 1000000));
        } else if (option == "--node-closed") {
            config.node_closed = true;
        } else if (option == "--claimed") {
            config.claimed_elsewhere = true;
        } else if (option == "--absent") {
            config.present = false;
        } else {
            throw std::invalid_argument("unknown option or missing value: " + option);
        }
    }
    throw std::invalid_argument("no program given");
}

int run(char **program)
{
    const pid_t child = fork();
    if (child < 0)
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (child == 0) {
        execvp(program[0], program);
        std::fprintf(stderr, "wex_usbemu: cannot run %s: %s\n", program[0], std::strerror(errno));
        _exit(exec_failed_status);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR)
            throw std::runtime_error(std::string("waitpid: ") + std::strerror(errno));
    return WIFEXITED(status) ? WEXITSTATUS(status) : signal_status_base + WTERMSIG(status);
}

}  // namespace

int main(int argc, char **argv)
{
    usbemu::Config config;
    int program = 0;
    try {
        program = parse(argc, argv, config);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "wex_usbemu: %s\n%s", e.what(), usage);
        return usage_status;
    }
    try {
        usbemu::run_under_preload(argv);
        usbemu::Emulator emulator(config);
        std::fflush(stdout);
        return run(argv + program);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return usage_status;
    }
}
