// The one block per loads call that the reader parses into.
#pragma once

#include <cstddef>

namespace quibex {

// Bytes of the parse buffer for `len` bytes of text: about 12 per byte of
// text and never less than 4096, room for the reader's copy of the text and
// every record it can make from it.
constexpr size_t parse_buffer_size(size_t len) noexcept { return (((len >> 1) * 24) + 4344) & ~size_t{4095}; }
static_assert(parse_buffer_size(3) == 4096 && parse_buffer_size(1000) == 12288);
static_assert(parse_buffer_size(4096) == 53248 && parse_buffer_size(1000000) == 12001280);

// Asks the system to back the whole 2 MiB pages inside the block with huge
// pages when it first touches them. A large block comes freshly mapped from
// the system on every call (the C allocator maps blocks of tens of MiB
// directly and unmaps them when freed), and the reader writes its copy of
// the text and its records from the start of the block, so without the
// advice every 4 KiB page it reaches costs a page fault. Does nothing where
// the system has no such advice or the block holds no whole huge page.
void advise_huge_pages(void* block, size_t size) noexcept;

}  // namespace quibex
