#include "companion_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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

Consumed consume(std::vector<std::string> command, const std::string &input)
{
    const TempDir dir;
    write_file(dir / "input", input);
    std::vector<char *> argv;
    argv.reserve(command.size() + 1);
    for (auto &word : command)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, (dir / "input").c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, (dir / "output").c_str(), O_WRONLY | O_CREAT, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    Consumed result;
    pid_t pid = 0;
    int status = 0;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0 && waitpid(pid, &status, 0) == pid)
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    posix_spawn_file_actions_destroy(&actions);
    result.output = read_file(dir / "output");
    return result;
}

std::string write_script(const TempDir &dir, const std::string &name, const std::string &body)
{
    std::string path = dir / name;
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
