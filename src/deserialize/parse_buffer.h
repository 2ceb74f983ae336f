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

// Prepares the memory of a block about to hold the copy of `text_len` bytes
// of text and the records read from it. A large block often comes freshly
// mapped from the system (the C allocator maps blocks of tens of MiB
// directly and unmaps them when freed), and the reader writes from the
// start of the block, so every 4 KiB page it reaches would cost a page
// fault. For such a fresh block, the whole 2 MiB pages inside it are advised
// to be huge pages, and the small pages before the first of them are
// faulted in at once, as far as the copy of the text reaches. Does nothing
// for reused memory, for blocks that hold no whole huge page, or where the
// system has no such advice.
void prepare_parse_buffer(void* block, size_t size, size_t text_len) noexcept;

}  // namespace quibex
