#include <array>

#include "function_names.h"

namespace vmodule {

namespace {

struct FunctionName {
    Function function;
    const char *name;
};

constexpr std::size_t named_functions = static_cast<std::size_t>(Function::any) + 1;

// Indexed by the enum: the check below fails to compile when the two part ways.
constexpr std::array<FunctionName, named_functions> function_names = {{
    {Function::set_vid_pid, "FT_SetVIDPID"},
    {Function::open, "FT_Open"},
    {Function::set_timeouts, "FT_SetTimeouts"},
    {Function::set_bit_mode, "FT_SetBitMode"},
    {Function::get_bit_mode, "FT_GetBitMode"},
    {Function::write, "FT_Write"},
    {Function::close, "FT_Close"},
    {Function::any, "any"},
}};

constexpr bool in_enum_order()
{
    for (std::size_t i = 0; i < function_names.size(); ++i)
        if (static_cast<std::size_t>(function_names[i].function) != i || function_names[i].name == nullptr)
            return false;
    return true;
}

static_assert(in_enum_order(), "function_names must list every Function once, in the enum's order");

}  // namespace

const char *vwex_function_name(Function function)
{
    return function_names[static_cast<std::size_t>(function)].name;
}

std::optional<Function> function_named(std::string_view name)
{
    for (const FunctionName &entry : function_names)
        if (name == entry.name)
            return entry.function;
    return std::nullopt;
}

}  // namespace vmodule
