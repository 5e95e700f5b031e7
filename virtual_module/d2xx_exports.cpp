// The seven library functions the program calls, over the virtual module.
#include <utility>

#include "d2xx.h"
#include "module.h"
#include "module_facts.h"

using namespace vmodule;

namespace {

// One call of the library: latency, the configured fault (a failed call changes
// nothing), then the call's own work, the log and the trace.
template <typename Body>
FT_STATUS run(Call call, FT_STATUS fault_status, Body body)
{
    Module &m = module();
    std::lock_guard<std::mutex> lock(m.mutex);
    if (m.config.latency_us)
        m.latency_waited_ns += wait_latency(m.config.latency_us);
    const ModuleCounters before = m.counters();
    call.status = m.fault_hits(call.function) ? fault_status : body(m, call);
    m.log(call, before);
    return call.status;
}

Call call_of(Function function, std::uint32_t a = 0, std::uint32_t b = 0, std::uint32_t c = 0)
{
    Call call{};
    call.function = function;
    call.a = a;
    call.b = b;
    call.c = c;
    return call;
}

std::uint32_t arg(FT_HANDLE handle) { return static_cast<std::uint32_t>(token_of(handle)); }

// The library configures itself as it is loaded, before the program's first call.
const bool configured_on_load = (module(), true);

}  // namespace

extern "C" {

FT_STATUS FT_SetVIDPID(std::uint32_t vid, std::uint32_t pid)
{
    return run(call_of(Function::set_vid_pid, vid, pid), FT_IO_ERROR, [&](Module &m, Call &) {
        m.vid = vid;
        m.pid = pid;
        return FT_OK;
    });
}

FT_STATUS FT_Open(int index, FT_HANDLE *handle)
{
    return run(call_of(Function::open, static_cast<std::uint32_t>(index)), FT_DEVICE_NOT_FOUND,
               [&](Module &m, Call &call) {
                   if (!handle)
                       return FT_INVALID_PARAMETER;
                   if (m.config.absent || index != 0 || m.vid != wex_module::vendor_id ||
                       m.pid != wex_module::product_id)
                       return FT_DEVICE_NOT_FOUND;
                   if (m.open_token)
                       return FT_DEVICE_NOT_OPENED;
                   m.open_token = ++m.last_token;
                   m.chip->reset();
                   *handle = reinterpret_cast<FT_HANDLE>(m.open_token);
                   call.result = static_cast<std::uint32_t>(m.open_token);
                   return FT_OK;
               });
}

FT_STATUS FT_SetTimeouts(FT_HANDLE handle, std::uint32_t read_ms, std::uint32_t write_ms)
{
    return run(call_of(Function::set_timeouts, arg(handle), read_ms, write_ms), FT_IO_ERROR,
               [&](Module &m, Call &) { return m.valid(handle) ? FT_OK : FT_INVALID_HANDLE; });
}

FT_STATUS FT_SetBitMode(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode)
{
    return run(call_of(Function::set_bit_mode, arg(handle), mask, mode), FT_IO_ERROR, [&](Module &m, Call &) {
        if (!m.valid(handle))
            return FT_INVALID_HANDLE;
        m.chip->set_bit_mode(mask, mode);
        return FT_OK;
    });
}

FT_STATUS FT_GetBitMode(FT_HANDLE handle, std::uint8_t *pins)
{
    return run(call_of(Function::get_bit_mode, arg(handle)), FT_IO_ERROR, [&](Module &m, Call &call) {
        if (!m.valid(handle))
            return FT_INVALID_HANDLE;
        if (!pins)
            return FT_INVALID_PARAMETER;
        *pins = m.chip->read_pins();
        call.result = *pins;
        return FT_OK;
    });
}

FT_STATUS FT_Write(FT_HANDLE handle, void *buffer, std::uint32_t length, std::uint32_t *written)
{
    Call record = call_of(Function::write, arg(handle), length);
    const auto *bytes = static_cast<const std::uint8_t *>(buffer);
    if (bytes)
        record.data.assign(bytes, bytes + length);
    if (written)
        *written = 0;
    return run(std::move(record), FT_IO_ERROR, [&](Module &m, Call &call) {
        if (!m.valid(handle))
            return FT_INVALID_HANDLE;
        if (!bytes || !written)
            return FT_INVALID_PARAMETER;
        for (std::uint32_t i = 0; i < length; ++i)
            m.chip->write(bytes[i]);
        *written = length;
        call.result = length;
        return FT_OK;
    });
}

FT_STATUS FT_Close(FT_HANDLE handle)
{
    return run(call_of(Function::close, arg(handle)), FT_IO_ERROR, [&](Module &m, Call &) {
        if (!m.valid(handle))
            return FT_INVALID_HANDLE;
        m.open_token = 0;
        return FT_OK;
    });
}

}  // extern "C"
