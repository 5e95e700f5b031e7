#include "preload.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

namespace usbemu {

namespace {

constexpr const char *umockdev_preload = "libumockdev-preload.so.0";

bool in_preload(const char *library)
{
    const char *preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, library) != nullptr;
}

}  // namespace

bool preloaded()
{
    return in_preload(umockdev_preload);
}

void run_under_preload(char **argv)
{
    constexpr const char *again = "USBEMU_UNDER_PRELOAD";
    if (preloaded() && in_preload(USBEMU_BIND_SHIM)) {
        unsetenv(again);
        return;
    }
    if (std::getenv(again) != nullptr)
        throw std::runtime_error(std::string("usbemu: the dynamic linker did not preload ") + umockdev_preload +
                                 " and " + USBEMU_BIND_SHIM);
    setenv(again, "1", 1);
    // The sanitizers' runtime would otherwise insist on coming first among the preloaded libraries.
    const char *asan = std::getenv("ASAN_OPTIONS");
    setenv("ASAN_OPTIONS", (std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0").c_str(), 1);
    const char *lsan = std::getenv("LSAN_OPTIONS");
    setenv("LSAN_OPTIONS",
           (std::string(lsan != nullptr ? lsan : "") + ":suppressions=" + USBEMU_LEAK_SUPPRESSIONS).c_str(), 1);

    // The bind shim first, so that it stands before umockdev's own bind.
    const char *inherited = std::getenv("LD_PRELOAD");
    std::string preload = std::string(USBEMU_BIND_SHIM) + ":" + umockdev_preload;
    if (inherited != nullptr && *inherited != '\0')
        preload += std::string(":") + inherited;
    setenv("LD_PRELOAD", preload.c_str(), 1);

    char self_path[4096];
    const ssize_t length = readlink("/proc/self/exe", self_path, sizeof self_path - 1);
    if (length <= 0)
        throw std::runtime_error("usbemu: cannot find the running program");
    self_path[length] = '\0';
    execv(self_path, argv);
    throw std::runtime_error(std::string("usbemu: cannot run ") + self_path + " again: " + std::strerror(errno));
}

}  // namespace usbemu
