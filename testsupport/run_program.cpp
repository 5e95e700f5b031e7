#include "run_program.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <system_error>

namespace {

struct TempFile {
    std::string path;
    TempFile()
    {
        char name[] = "/tmp/wex-report-XXXXXX";
        const int fd = mkstemp(name);
        if (fd < 0)
            throw std::system_error(errno, std::generic_category(), "mkstemp");
        close(fd);
        path = name;
    }
    ~TempFile() { unlink(path.c_str()); }
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
};

std::vector<std::string> child_environment(const std::vector<std::string> &extra, const std::string &library_dir,
                                           const std::string &report)
{
    std::vector<std::string> env = {"PATH=/usr/bin:/bin", "VWEX_REPORT=" + report};
    for (const char *keep : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
        if (const char *value = std::getenv(keep))
            env.push_back(std::string(keep) + "=" + value);
    if (!library_dir.empty())
        env.push_back("LD_LIBRARY_PATH=" + library_dir);
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::map<std::string, unsigned> read_report(const std::string &path)
{
    std::map<std::string, unsigned> report;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const auto eq = line.find('=');
        if (eq != std::string::npos)
            report[line.substr(0, eq)] = static_cast<unsigned>(std::stoul(line.substr(eq + 1)));
    }
    return report;
}

}  // namespace

Outcome run_program(const std::string &program, const std::vector<std::string> &args,
                    const std::vector<std::string> &env, const std::string &library_dir, double time_limit_s)
{
    const TempFile report;
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), args.begin(), args.end());
    // Braced initialisers run in order: the report is read once the child has ended.
    return Outcome{wex_test::run_child(argv, child_environment(env, library_dir, report.path), time_limit_s),
                   read_report(report.path)};
}
