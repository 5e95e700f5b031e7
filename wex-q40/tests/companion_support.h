// Runs wex-q40 and the real consumers of its output in the tests.
#ifndef WEX_Q40_TESTS_SUPPORT_H
#define WEX_Q40_TESTS_SUPPORT_H

#include <string>
#include <vector>

#include "run_program.h"

struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

struct Consumed {
    int status = -1;
    std::string output;
};

// Feeds text to a consumer (jq, promtool) on its standard input; output and errors together.
Consumed consume(const std::vector<std::string> &command, const std::string &input);

// jq -e with args and the filter holds for the input.
bool jq_holds(const std::string &filter, const std::string &input, const std::vector<std::string> &args = {});

// promtool check metrics finds nothing to say of a textfile.
void expect_promtool_accepts(const std::string &prom);

// Writes an executable /bin/sh script.
std::string write_script(const TempDir &dir, const std::string &name, const std::string &body);

void write_file(const std::string &path, const std::string &content);
std::string read_file(const std::string &path);

// wex-q40 SUBCOMMAND -l <dir>/lock --max-age 0 ARGS against the virtual module, or the library in library_dir.
Outcome run_companion(const TempDir &dir, const std::string &subcommand, std::vector<std::string> args,
                      const std::vector<std::string> &env = {}, double limit_s = 20,
                      const std::string &library_dir = WEX_VMODULE_DIR);

#endif
