// The module's process-wide start-up.
#pragma once

namespace quibex {

// Fills REGISTRY and creates KEY_MAP, once per process; concurrent callers
// wait for the first. Returns -1 with the exception set if a step failed,
// leaving the start-up to be run again by a later call.
int init_registry_once() noexcept;

}  // namespace quibex
