#include "deserialize/reader/arena.h"

#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

namespace quibex {
namespace {

// The pool header and chunk headers as laid out in the block: two words each.
struct Words {
  uint64_t size;
  Words* next;
};

// An arena over a 16-byte aligned block of the given size.
struct Arena {
  alignas(16) uint8_t block[8192];
  ArenaAllocator a{};

  explicit Arena(size_t size = 4096) { EXPECT_TRUE(arena_init(&a, block, size)); }

  void* alloc(size_t n) { return a.allocate(a.context, n); }
  void* grow(void* p, size_t from, size_t to) { return a.reallocate(a.context, p, from, to); }
  void release(void* p) { a.release(a.context, p); }
  size_t offset(const void* p) const { return static_cast<const uint8_t*>(p) - block; }
  size_t chunk_size(const void* p) const {
    return reinterpret_cast<const Words*>(static_cast<const uint8_t*>(p) - 16)->size;
  }
  // The free list as (offset of chunk, chunk size) pairs in list order.
  std::vector<std::pair<size_t, size_t>> free_list() const {
    std::vector<std::pair<size_t, size_t>> out;
    for (const Words* c = static_cast<const Words*>(a.context)->next; c != nullptr; c = c->next) {
      out.emplace_back(offset(c), c->size);
    }
    return out;
  }
  using Free = std::vector<std::pair<size_t, size_t>>;
};

TEST(Arena, InitRejectsSmallOrNullBlocks) {
  alignas(16) uint8_t block[64];
  ArenaAllocator a;
  EXPECT_FALSE(arena_init(&a, block, 63));
  EXPECT_EQ(a.allocate(a.context, 1), nullptr);
  EXPECT_EQ(a.reallocate(a.context, block, 1, 2), nullptr);
  a.release(a.context, block);  // does nothing
  EXPECT_FALSE(arena_init(&a, nullptr, 4096));
  EXPECT_TRUE(arena_init(&a, block, 64));
  EXPECT_NE(a.allocate(a.context, 16), nullptr);  // the only chunk: 48 bytes, handed out whole
  EXPECT_EQ(a.allocate(a.context, 1), nullptr);
}

TEST(Arena, LayoutOfAFreshPool) {
  Arena ar;
  const Words* pool = static_cast<const Words*>(ar.a.context);
  EXPECT_EQ(ar.offset(pool), 0u);
  EXPECT_EQ(pool->size, 4096u);
  EXPECT_EQ(ar.free_list(), (Arena::Free{{16, 4080}}));
  void* p = ar.alloc(1);
  EXPECT_EQ(ar.offset(p), 32u);
  EXPECT_EQ(ar.chunk_size(p), 32u);
  EXPECT_EQ(ar.free_list(), (Arena::Free{{48, 4048}}));
  EXPECT_EQ(ar.alloc(4096), nullptr);
  EXPECT_EQ(ar.alloc(5000), nullptr);
}

TEST(Arena, UnalignedBlockStartsAtTheNextMultipleOf16) {
  alignas(16) static uint8_t block[4200];
  ArenaAllocator a;
  ASSERT_TRUE(arena_init(&a, block + 5, 4096));
  EXPECT_EQ(static_cast<uint8_t*>(a.context) - block, 16);
  // 4096 bytes from offset 5 end at 4101; from 16 that leaves 4085, rounded down to 4080.
  EXPECT_EQ(static_cast<Words*>(a.context)->size, 4080u);
}

TEST(Arena, FirstFitSplitsOnlyWithThirtyTwoSpareBytes) {
  Arena ar;
  void* a = ar.alloc(100);  // chunk 128
  void* gap = ar.alloc(64);  // chunk 80
  void* b = ar.alloc(16);    // keeps the gap from merging with the tail
  ar.release(gap);
  EXPECT_EQ(ar.free_list().front(), (std::pair<size_t, size_t>{ar.offset(gap) - 16, 80}));
  // need 48 + 16 = 64: 16 spare bytes are not split off; the whole 80 is handed out.
  void* c = ar.alloc(48);
  EXPECT_EQ(c, gap);
  EXPECT_EQ(ar.chunk_size(c), 80u);
  ar.release(c);
  // need 32 + 16 = 48: 32 spare bytes are split off.
  void* d = ar.alloc(32);
  EXPECT_EQ(d, gap);
  EXPECT_EQ(ar.chunk_size(d), 48u);
  EXPECT_EQ(ar.free_list().front(), (std::pair<size_t, size_t>{ar.offset(gap) - 16 + 48, 32}));
  (void)a;
  (void)b;
}

TEST(Arena, ReleaseMergesBothNeighboursInEitherOrder) {
  for (int order = 0; order < 6; ++order) {
    Arena ar;
    void* p[3] = {ar.alloc(10), ar.alloc(200), ar.alloc(33)};
    const int perms[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
    for (int i : perms[order]) ar.release(p[i]);
    EXPECT_EQ(ar.free_list(), (Arena::Free{{16, 4080}})) << order;
  }
  Arena ar;
  void* x = ar.alloc(10);
  void* y = ar.alloc(10);
  ar.release(y);
  ar.release(x);
  EXPECT_EQ(ar.free_list(), (Arena::Free{{16, 4080}}));
}

TEST(Arena, GrowInPlaceAbsorbsOrSplitsTheNextChunk) {
  Arena ar;
  void* p = ar.alloc(100);  // chunk 128, free tail 3952 from offset 144
  std::memset(p, 7, 100);
  void* q = ar.grow(p, 100, 1000);
  EXPECT_EQ(q, p);
  EXPECT_EQ(ar.chunk_size(p), 1024u);
  EXPECT_EQ(ar.free_list(), (Arena::Free{{1040, 3056}}));
  EXPECT_EQ(static_cast<uint8_t*>(q)[99], 7);
  // Same rounded size: unchanged.
  EXPECT_EQ(ar.grow(p, 1000, 1008), p);
  EXPECT_EQ(ar.chunk_size(p), 1024u);
  // Remainder of exactly 32 bytes is absorbed: 1024 + 3056 - 32 = 4048 = need.
  EXPECT_EQ(ar.grow(p, 1008, 4032), p);
  EXPECT_EQ(ar.chunk_size(p), 4080u);
  EXPECT_TRUE(ar.free_list().empty());
  EXPECT_EQ(ar.alloc(1), nullptr);
  EXPECT_EQ(ar.grow(p, 4032, 4096), nullptr);  // not smaller than the pool
}

TEST(Arena, GrowInPlaceSplitsAboveThirtyTwoSpareBytes) {
  Arena ar;
  void* p = ar.alloc(100);
  // need 4016 + 16 = 4032 leaves 48 spare bytes: split.
  EXPECT_EQ(ar.grow(p, 100, 4016), p);
  EXPECT_EQ(ar.chunk_size(p), 4032u);
  EXPECT_EQ(ar.free_list(), (Arena::Free{{4048, 48}}));
}

TEST(Arena, GrowMovesWhenBlockedAndKeepsOldOnFailure) {
  Arena ar;
  void* p = ar.alloc(64);
  void* wall = ar.alloc(16);
  for (int i = 0; i < 64; ++i) static_cast<uint8_t*>(p)[i] = static_cast<uint8_t>(i);
  void* q = ar.grow(p, 64, 500);
  ASSERT_NE(q, nullptr);
  EXPECT_NE(q, p);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(static_cast<uint8_t*>(q)[i], i);
  // The old chunk is free again, ahead of the tail.
  EXPECT_EQ(ar.free_list().front(), (std::pair<size_t, size_t>{ar.offset(p) - 16, 80}));
  // No fitting chunk: null, and the block stays where and as it was.
  EXPECT_EQ(ar.grow(wall, 16, 4000), nullptr);
  EXPECT_EQ(ar.chunk_size(wall), 32u);
  EXPECT_EQ(ar.chunk_size(q), 528u);
}

TEST(Arena, GrowUsesTheFreeChunkBelowWhenItFits) {
  Arena ar;
  void* low = ar.alloc(1000);
  void* p = ar.alloc(16);
  void* wall = ar.alloc(16);
  ar.release(low);
  void* q = ar.grow(p, 16, 500);
  EXPECT_EQ(q, low);  // first fit from the head of the list
  (void)wall;
}

}  // namespace
}  // namespace quibex
