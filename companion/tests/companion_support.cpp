#include "companion_support.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

TempDir::TempDir()
{
    char name[] = "/tmp/wex-companion-XXXXXX";
    if (mkdtemp(name) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path = name;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

void write_file(const std::string &path, const std::string &content)
{
    std::ofstream(path, std::ios::binary) << content;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

Consumed consume(const std::string &command, const std::string &input)
{
    const TempDir dir;
    write_file(dir / "input", input);
    Consumed result;
    FILE *pipe = popen((command + " <" + dir.path + "/input 2>&1").c_str(), "r");
    if (pipe == nullptr)
        return result;
    char buffer[4096];
    for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        result.output.append(buffer, n);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string write_script(const TempDir &dir, const std::string &name, const std::string &body)
{
    const std::string path = dir / name;
    write_file(path, "#!/bin/sh\n" + body);
    chmod(path.c_str(), 0755);
    return path;
}

bool has_ended(pid_t pid)
{
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const auto paren = stat.rfind(')');
    return paren == std::string::npos || stat.compare(paren + 2, 1, "Z") == 0;
}

Outcome run_companion(const TempDir &dir, const std::string &subcommand, std::vector<std::string> args,
                      const std::vector<std::string> &env, double limit_s)
{
    // A -b in args comes later and wins.
    args.insert(args.begin(), {subcommand, "-l", dir / "lock", "-b", WEX_PROGRAM});
    return run_program(WEX_Q40, args, env, WEX_VMODULE_DIR, limit_s);
}
