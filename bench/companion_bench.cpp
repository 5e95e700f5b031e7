// Runs wex_q40_test alone and through each wex-q40 subcommand against the
// virtual module, in turn, and prints the wall time per reading and what
// wex-q40 adds to it, next to the cost of starting a program at all.
// usage: wex_q40_companion_bench [readings]
#include <fcntl.h>
#include <sys/stat.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Variant {
    const char *name;
    std::vector<std::string> args;
    std::vector<double> ms;
};

double run_ms(std::vector<std::string> args, const std::vector<std::string> &extra_env)
{
    std::vector<char *> argv;
    argv.reserve(args.size() + 1);
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_strings(extra_env);
    for (char **e = environ; *e != nullptr; ++e)
        if (std::strncmp(*e, "LD_LIBRARY_PATH=", 16) != 0 && std::strncmp(*e, "WEX_Q40_", 8) != 0)
            env_strings.emplace_back(*e);
    std::vector<char *> envp;
    envp.reserve(env_strings.size() + 1);
    for (auto &e : env_strings)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    int status = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) == 0)
        waitpid(pid, &status, 0);
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    posix_spawn_file_actions_destroy(&actions);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "wex_q40_companion_bench: %s %s failed (%d)\n", args[0].c_str(),
                     args.size() > 1 ? args[1].c_str() : "", status);
        std::exit(1);
    }
    return ms;
}

double mean(const std::vector<double> &v)
{
    double sum = 0;
    for (const double x : v)
        sum += x;
    return sum / static_cast<double>(v.size());
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace

int main(int argc, char **argv)
{
    const long readings = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 30;
    if (readings < 1) {
        std::fprintf(stderr, "usage: wex_q40_companion_bench [readings]\n");
        return 2;
    }
    char folder[] = "/tmp/wex-q40-bench-XXXXXX";
    if (mkdtemp(folder) == nullptr)
        return 1;
    const std::string dir = folder;
    const std::vector<std::string> env = {"LD_LIBRARY_PATH=" WEX_VMODULE_DIR, "VWEX_TEMP=22.4", "VWEX_HUM=41.5"};
    // Each run takes a reading of its own: a shared one would hide what wex-q40 adds to a reading.
    const std::vector<std::string> common = {"-l", dir + "/lock", "-b", WEX_PROGRAM, "--max-age", "0"};
    // Every step of a calibration, and a section of a module's own, so that the module's serial is looked up.
    const std::string calibration = dir + "/calibration";
    std::FILE *file = std::fopen(calibration.c_str(), "w");
    if (file == nullptr)
        return 1;
    std::fputs("temperature-offset = -0.5\nhumidity-gain = 1.02\nhumidity-compensation = sensor\n[WQ9]\n"
               "humidity-offset = 1\n",
               file);
    std::fclose(file);
    chmod(calibration.c_str(), 0644);
    // The cost of starting any program on this machine, which wex-q40 adds once.
    std::vector<Variant> variants = {
        {"wex_q40_test", {WEX_PROGRAM}, {}},       {"/bin/true", {"/bin/true"}, {}},       {"wex-q40 json", {WEX_Q40, "json"}, {}},
        {"wex-q40 check", {WEX_Q40, "check"}, {}}, {"wex-q40 influx", {WEX_Q40, "influx"}, {}},
        {"wex-q40 textfile", {WEX_Q40, "textfile", "-d", dir}, {}},
        {"json, calibrated", {WEX_Q40, "json", "--calibration", calibration}, {}},
    };
    for (auto &v : variants)
        if (v.args[0] == WEX_Q40)
            v.args.insert(v.args.end(), common.begin(), common.end());
    // In turn, so that a slow spell of the machine falls on all alike.
    for (long i = 0; i < readings; ++i)
        for (auto &v : variants)
            v.ms.push_back(run_ms(v.args, env));
    unlink((dir + "/wex_q40.prom").c_str());
    unlink((dir + "/lock").c_str());
    unlink(calibration.c_str());
    rmdir(folder);

    const double base_mean = mean(variants[0].ms);
    const double base_median = median(variants[0].ms);
    std::printf("%ld readings each, virtual module; wall time per reading in ms\n", readings);
    std::printf("%-18s %9s %9s %14s %14s\n", "", "mean", "median", "added (mean)", "added (median)");
    for (const auto &v : variants)
        std::printf("%-18s %9.3f %9.3f %14.3f %14.3f\n", v.name, mean(v.ms), median(v.ms), mean(v.ms) - base_mean,
                    median(v.ms) - base_median);
    return 0;
}
