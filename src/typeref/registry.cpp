#include "typeref/registry.h"

namespace quibex {

// Empty until the module's start-up fills it.
TypeRegistry REGISTRY{};

}  // namespace quibex
