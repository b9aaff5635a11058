// A Windows that answers at once with fixed figures: what is measured on top of it is the
// library's own cost.
#pragma once

#include <cstdint>

namespace winapi_null {
void set_processors(uint32_t n);
void set_interfaces(uint32_t n);  // rows in the interface table, at most 64
}  // namespace winapi_null
