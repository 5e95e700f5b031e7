// The names of the library's functions, as the trace writes them and VWEX_FAIL takes them.
#ifndef VMODULE_FUNCTION_NAMES_H
#define VMODULE_FUNCTION_NAMES_H

#include <optional>
#include <string_view>

#include "vwex.h"

namespace vmodule {

// The function of that name ("any" for Function::any), if there is one.
std::optional<Function> function_named(std::string_view name);

}  // namespace vmodule

#endif
