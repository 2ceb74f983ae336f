// DocArena: a first-fit pool allocator over one caller-owned block, and the
// other allocator routine sets the reader can be given.
#pragma once

#include "deserialize/reader/doc.h"

#include <cstddef>

namespace quibex {

// Installs the null routines into `allocator`; then, if `size` is at least 64
// and the 16-byte aligned start of `block` is not null, lays out a pool over
// the block and installs the pool routines with the pool header as context.
// Returns whether the pool was set up. The block outlives every use of the
// allocator; the pool never touches memory outside it.
bool arena_init(ArenaAllocator* allocator, void* block, size_t size) noexcept;

// malloc, realloc and free (context ignored): what the reader uses when it is
// given no allocator.
extern const ArenaAllocator kSystemAllocator;

}  // namespace quibex
