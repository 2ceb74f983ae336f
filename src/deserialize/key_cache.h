// KEY_MAP: the process-wide cache of short object keys.
#pragma once

#include "ffi/python.h"

namespace quibex {

// Creates KEY_MAP unless it exists already.
void create_key_map() noexcept;

}  // namespace quibex
