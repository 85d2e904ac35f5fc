// How many parameter tokens each macro accepts; the parser rejects any other count.
#pragma once

#include <cstddef>

namespace orvane::script {

// True when `count` parameter tokens are allowed for the macro `code` (71..130). The parameterless
// macros (71..77) allow only 0. A code that is no macro allows nothing.
bool macro_allows_parameter_count(int code, size_t count);

}  // namespace orvane::script
