#include <dlfcn.h>

#include <cstdio>
#include <string>

#include "wex.h"

namespace {

// Stands in until a library is loaded, so that no call can reach a null pointer.
constexpr d2xx_api unloaded = {
    [](std::uint32_t, std::uint32_t) -> FT_STATUS { return FT_OTHER_ERROR; },
    [](int, FT_HANDLE *) -> FT_STATUS { return FT_DEVICE_NOT_FOUND; },
    [](FT_HANDLE, std::uint32_t, std::uint32_t) -> FT_STATUS { return FT_INVALID_HANDLE; },
    [](FT_HANDLE, std::uint8_t, std::uint8_t) -> FT_STATUS { return FT_INVALID_HANDLE; },
    [](FT_HANDLE, std::uint8_t *) -> FT_STATUS { return FT_INVALID_HANDLE; },
    [](FT_HANDLE, void *, std::uint32_t, std::uint32_t *) -> FT_STATUS { return FT_INVALID_HANDLE; },
    [](FT_HANDLE) -> FT_STATUS { return FT_INVALID_HANDLE; },
};

d2xx_api api = unloaded;
bool loaded = false;

template <typename Function>
bool bind(void *library, const char *name, Function &slot, std::string &why)
{
    dlerror();  // clears an earlier error, so that the one read below is this lookup's
    void *symbol = dlsym(library, name);
    if (symbol == nullptr) {
        const char *error = dlerror();
        why = error ? error : std::string(name) + " is null";
        return false;
    }
    slot = reinterpret_cast<Function>(symbol);
    return true;
}

bool bind_all(void *library, d2xx_api &table, std::string &why)
{
    using namespace wex_messages;
    return bind(library, set_vid_pid_function, table.set_vid_pid, why) &&
           bind(library, open_function, table.open, why) &&
           bind(library, set_timeouts_function, table.set_timeouts, why) &&
           bind(library, set_bit_mode_function, table.set_bit_mode, why) &&
           bind(library, get_bit_mode_function, table.get_bit_mode, why) &&
           bind(library, write_function, table.write, why) && bind(library, close_function, table.close, why);
}

void *open_library(std::string &why)
{
    void *library = dlopen(wex_messages::library_name, RTLD_NOW | RTLD_LOCAL);
    if (library != nullptr)
        return library;
    why = dlerror();
    library = dlopen(wex_messages::library_fallback, RTLD_NOW | RTLD_LOCAL);
    if (library != nullptr)
        return library;
    why += "; ";
    why += dlerror();
    return nullptr;
}

}  // namespace

int wex_usb_load(const char *caller)
{
    if (loaded)
        return 0;
    std::string why;
    void *library = open_library(why);
    if (library == nullptr) {
        const d2xx_api *backend = wex_ftdi_backend();
        if (backend == nullptr) {
            std::printf(wex_messages::load_failed, caller, wex_messages::library_name, why.c_str());
            return -1;
        }
        api = *backend;
        loaded = true;
        return 0;
    }
    d2xx_api table = unloaded;
    if (!bind_all(library, table, why)) {
        dlclose(library);  // the load has failed already; a failed unload changes nothing
        std::printf(wex_messages::load_failed, caller, wex_messages::library_name, why.c_str());
        return -1;
    }
    api = table;
    loaded = true;
    return 0;
}

const d2xx_api &wex_usb()
{
    return api;
}
