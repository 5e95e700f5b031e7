#include "preload.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace usbemu {

bool preloaded()
{
    const char *preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr;
}

void run_under_preload(char **argv)
{
    constexpr const char *again = "USBEMU_UNDER_WRAPPER";
    if (preloaded()) {
        unsetenv(again);
        return;
    }
    if (std::getenv(again) != nullptr)
        throw std::runtime_error(std::string("usbemu: ") + USBEMU_WRAPPER + " did not preload libumockdev-preload");
    setenv(again, "1", 1);
    // The sanitizers' runtime would otherwise insist on coming first among the preloaded libraries.
    const char *asan = std::getenv("ASAN_OPTIONS");
    setenv("ASAN_OPTIONS", (std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0").c_str(), 1);

    std::vector<char *> args;
    std::string wrapper = USBEMU_WRAPPER;
    char self_path[4096];
    const ssize_t length = readlink("/proc/self/exe", self_path, sizeof self_path - 1);
    if (length <= 0)
        throw std::runtime_error("usbemu: cannot find the running program");
    std::string self(self_path, static_cast<std::size_t>(length));
    args.push_back(wrapper.data());
    args.push_back(self.data());
    for (char **arg = argv + 1; *arg != nullptr; ++arg)
        args.push_back(*arg);
    args.push_back(nullptr);
    execv(wrapper.c_str(), args.data());
    throw std::runtime_error("usbemu: cannot run " + wrapper + ": " + std::strerror(errno));
}

}  // namespace usbemu
