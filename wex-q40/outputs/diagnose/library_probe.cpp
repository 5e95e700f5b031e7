#include "library_probe.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <string_view>

#include "wex_messages.h"

namespace wex_q40 {

namespace {

// The driver's search, in its order and with its flags.
constexpr std::array<const char *, 2> library_names = {wex_messages::library_name, wex_messages::library_fallback};
constexpr std::string_view loaded_tag = "library\t";
constexpr std::string_view unusable_tag = "unusable\t";
constexpr std::string_view none_tag = "none\t";

std::string loaded_path(void *library)
{
    link_map *map = nullptr;
    if (dlinfo(library, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_name != nullptr)
        return map->l_name;
    return "?";
}

// The last line the probe wrote, so that a library's own output in front of it cannot pass for the answer.
std::string_view last_line(std::string_view out)
{
    if (!out.empty() && out.back() == '\n')
        out.remove_suffix(1);
    const auto newline = out.rfind('\n');
    return newline == std::string_view::npos ? out : out.substr(newline + 1);
}

bool take(std::string_view &line, std::string_view tag)
{
    if (line.substr(0, tag.size()) != tag)
        return false;
    line.remove_prefix(tag.size());
    return true;
}

LibraryFound parse_answer(std::string_view line)
{
    LibraryFound found;
    if (take(line, loaded_tag)) {
        found.kind = LibraryFound::Kind::library;
        found.path = line;
    } else if (take(line, unusable_tag)) {
        const auto tab = line.find('\t');
        found.kind = LibraryFound::Kind::unusable;
        found.path = line.substr(0, tab);
        found.why = tab == std::string_view::npos ? "" : line.substr(tab + 1);
    } else if (take(line, none_tag)) {
        found.kind = LibraryFound::Kind::none;
        found.why = line;
    } else {
        found.why = "the search for it gave no answer";
    }
    return found;
}

// On a line of its own, whatever a library's constructor printed before it.
int answer(const std::string &line)
{
    std::fputs(("\n" + line + "\n").c_str(), stdout);
    return 0;
}

}  // namespace

int run_library_probe()
{
    std::string why;
    for (const char *name : library_names) {
        void *library = dlopen(name, RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            why += std::string(why.empty() ? "" : "; ") + dlerror();
            continue;
        }
        const std::string path = loaded_path(library);
        for (const char *function : wex_messages::library_functions)
            if (dlsym(library, function) == nullptr)
                return answer(std::string(unusable_tag) + path + "\tlacks " + function);
        return answer(std::string(loaded_tag) + path);
    }
    return answer(std::string(none_tag) + why);
}

// The dynamic linker reads LD_LIBRARY_PATH only when a program starts, so the search is made by
// wex-q40 run again with the reading's environment, never by dlopen in this process.
LibraryFound probe_library(Clock::time_point deadline)
{
    std::array<char, 4096> self{};
    const ssize_t n = readlink("/proc/self/exe", self.data(), self.size() - 1);
    if (n <= 0)
        return {LibraryFound::Kind::unknown, "", "/proc/self/exe cannot be read"};
    const ChildRun run =
        run_child(ChildCommand{std::string(self.data(), static_cast<std::size_t>(n)), {library_probe_name}}, deadline);
    if (run.end == ChildRun::End::not_started)
        return {LibraryFound::Kind::unknown, "", run.error};
    if (run.end == ChildRun::End::timed_out)
        return {LibraryFound::Kind::unknown, "", "the library's search did not end in time"};
    if (run.end == ChildRun::End::signalled)
        return {LibraryFound::Kind::unknown, "", "loading it killed the search with signal " + std::to_string(run.code)};
    return parse_answer(last_line(run.out));
}

}  // namespace wex_q40
