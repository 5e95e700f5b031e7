#include "companion_support.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "child_run.h"

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

Consumed consume(const std::vector<std::string> &command, const std::string &input)
{
    const TempDir dir;
    write_file(dir / "input", input);
    std::vector<std::string> argv{"/bin/sh", "-c", "exec \"$@\" <\"$CONSUMED_INPUT\" 2>&1", "sh"};
    argv.insert(argv.end(), command.begin(), command.end());
    const wex_test::ChildRun run =
        wex_test::run_child(argv, wex_test::environment_with({"CONSUMED_INPUT=" + (dir / "input")}, {}), 60.0);
    return {run.status, run.out};
}

bool jq_holds(const std::string &filter, const std::string &input, const std::vector<std::string> &args)
{
    std::vector<std::string> command = {"jq", "-e"};
    command.insert(command.end(), args.begin(), args.end());
    command.push_back(filter);
    return consume(command, input).status == 0;
}

void expect_promtool_accepts(const std::string &prom)
{
    const Consumed check = consume({"promtool", "check", "metrics"}, prom);
    EXPECT_EQ(check.status, 0) << prom << check.output;
    EXPECT_EQ(check.output, "") << prom;
}

std::string write_script(const TempDir &dir, const std::string &name, const std::string &body)
{
    std::string path = dir / name;
    write_file(path, "#!/bin/sh\n" + body);
    chmod(path.c_str(), 0755);
    return path;
}

Outcome run_companion(const TempDir &dir, const std::string &subcommand, std::vector<std::string> args,
                      const std::vector<std::string> &env, double limit_s, const std::string &library_dir)
{
    // A -b or --max-age in args comes later and wins; each run reads the module unless a test shares.
    args.insert(args.begin(), {subcommand, "-l", dir / "lock", "-b", WEX_PROGRAM, "--max-age", "0"});
    return run_program(WEX_Q40, args, env, library_dir, limit_s);
}
