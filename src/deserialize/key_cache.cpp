// Placeholder; replaced by the cache itself.
#include "deserialize/key_cache.h"

namespace quibex {

void create_key_map() noexcept {}

}  // namespace quibex
