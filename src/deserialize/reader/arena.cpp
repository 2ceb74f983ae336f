#include "deserialize/reader/arena.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace quibex {
namespace {

// Every chunk starts with this header; the caller's pointer is chunk + 16.
struct Chunk {
  uint64_t size;  // header included, a multiple of 16
  Chunk* next;    // next free chunk by address; meaningful only while free
};

// At the first 16-byte aligned address of the block; chunks tile the rest.
struct Pool {
  uint64_t size;  // bytes from this header to the end of the usable block
  Chunk* free;    // the free chunks in increasing address order
};
static_assert(sizeof(Chunk) == 16 && sizeof(Pool) == 16);

constexpr uint64_t kAlign = 16;
// A remainder of at least this many bytes is split off as a free chunk.
constexpr uint64_t kMinSplit = 32;

constexpr uint64_t round_up16(uint64_t n) noexcept { return (n + kAlign - 1) & ~(kAlign - 1); }

Chunk* chunk_of(void* pointer) noexcept {
  return reinterpret_cast<Chunk*>(static_cast<uint8_t*>(pointer) - sizeof(Chunk));
}
Chunk* chunk_at(Chunk* c, uint64_t offset) noexcept {
  return reinterpret_cast<Chunk*>(reinterpret_cast<uint8_t*>(c) + offset);
}
bool ends_at(Chunk* c, Chunk* other) noexcept { return chunk_at(c, c->size) == other; }

// First fit for `need` bytes (header included): unlink the chunk, splitting
// off the tail as a free chunk when at least kMinSplit bytes would be spare.
Chunk* take_first_fit(Pool* pool, uint64_t need) noexcept {
  Chunk** link = &pool->free;
  for (Chunk* c = *link; c != nullptr; link = &c->next, c = *link) {
    if (c->size < need) continue;
    if (c->size >= need + kMinSplit) {
      Chunk* rest = chunk_at(c, need);
      rest->size = c->size - need;
      rest->next = c->next;
      *link = rest;
      c->size = need;
    } else {
      *link = c->next;
    }
    return c;
  }
  return nullptr;
}

void* pool_allocate(void* context, size_t size) {
  Pool* pool = static_cast<Pool*>(context);
  if (size >= pool->size || pool->free == nullptr) return nullptr;
  Chunk* c = take_first_fit(pool, round_up16(size) + sizeof(Chunk));
  return c == nullptr ? nullptr : c + 1;
}

// The link that points at the first free chunk above `c`, and the last free
// chunk below it (null when there is none).
Chunk** free_link_after(Pool* pool, Chunk* c, Chunk** previous) noexcept {
  Chunk** link = &pool->free;
  *previous = nullptr;
  while (*link != nullptr && *link < c) {
    *previous = *link;
    link = &(*link)->next;
  }
  return link;
}

void pool_release(void* context, void* pointer) {
  Pool* pool = static_cast<Pool*>(context);
  Chunk* c = chunk_of(pointer);
  Chunk* previous;
  Chunk** link = free_link_after(pool, c, &previous);
  Chunk* next = *link;
  c->next = next;
  *link = c;
  if (next != nullptr && ends_at(c, next)) {
    c->size += next->size;
    c->next = next->next;
  }
  if (previous != nullptr && ends_at(previous, c)) {
    previous->size += c->size;
    previous->next = c->next;
  }
}

void* pool_reallocate(void* context, void* pointer, size_t old_size, size_t new_size) {
  Pool* pool = static_cast<Pool*>(context);
  if (new_size >= pool->size) return nullptr;
  if (round_up16(old_size) == round_up16(new_size)) return pointer;
  Chunk* c = chunk_of(pointer);
  const uint64_t need = round_up16(new_size) + sizeof(Chunk);
  Chunk* previous;
  Chunk** link = free_link_after(pool, c, &previous);
  Chunk* next = *link;
  if (next != nullptr && ends_at(c, next) && c->size + next->size >= need) {
    const uint64_t remainder = c->size + next->size - need;
    if (remainder <= kMinSplit) {
      c->size += next->size;
      *link = next->next;
    } else {
      Chunk* rest = chunk_at(c, need);
      rest->size = remainder;
      rest->next = next->next;
      *link = rest;
      c->size = need;
    }
    return pointer;
  }
  Chunk* moved = take_first_fit(pool, need);
  if (moved == nullptr) return nullptr;
  std::memcpy(moved + 1, pointer, c->size - sizeof(Chunk));
  pool_release(pool, pointer);
  return moved + 1;
}

void* null_allocate(void*, size_t) { return nullptr; }
void* null_reallocate(void*, void*, size_t, size_t) { return nullptr; }
void null_release(void*, void*) {}

void* system_allocate(void*, size_t size) { return std::malloc(size); }
void* system_reallocate(void*, void* pointer, size_t, size_t new_size) {
  return std::realloc(pointer, new_size);
}
void system_release(void*, void* pointer) { std::free(pointer); }

}  // namespace

const ArenaAllocator kSystemAllocator = {system_allocate, system_reallocate, system_release,
                                         nullptr};

bool arena_init(ArenaAllocator* allocator, void* block, size_t size) noexcept {
  *allocator = {null_allocate, null_reallocate, null_release, nullptr};
  const uintptr_t begin = reinterpret_cast<uintptr_t>(block);
  const uintptr_t start = round_up16(begin);
  if (size < 64 || start == 0) return false;
  Pool* pool = reinterpret_cast<Pool*>(start);
  pool->size = (begin + size - start) & ~(kAlign - 1);
  Chunk* first = reinterpret_cast<Chunk*>(pool + 1);
  first->size = pool->size - sizeof(Pool);
  first->next = nullptr;
  pool->free = first;
  *allocator = {pool_allocate, pool_reallocate, pool_release, pool};
  return true;
}

}  // namespace quibex
