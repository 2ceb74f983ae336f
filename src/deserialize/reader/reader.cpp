// Placeholder: rejects every text until the reader lands.
#include "deserialize/reader/reader.h"

namespace quibex {

DocHeader* read(const uint8_t*, size_t, const ArenaAllocator*, ReadError* error) noexcept {
  *error = {ReadErrorCategory::Empty, "input data is empty", 0};
  return nullptr;
}

void release_document(DocHeader*) noexcept {}

}  // namespace quibex
