#include "deserialize/key_cache.h"

#include "python_env.h"
#include "support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quibex {
namespace {

class KeyCacheTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { testing_support::ensure_python(); }
};

const uint8_t* bytes_of(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

quibex::KeyCache& cache() { return testing_support::state().read.keys; }

Owned lookup(const std::string& s) { return Owned::steal(key_lookup(cache(), bytes_of(s), s.size())); }

// The key is equal to its text and carries the hash the interpreter computes.
void expect_key(PyObject* key, const std::string& utf8) {
  ASSERT_NE(key, nullptr);
  Owned want = Owned::steal(PyUnicode_DecodeUTF8(utf8.data(), Py_ssize_t(utf8.size()), "strict"));
  EXPECT_EQ(PyUnicode_Compare(key, want.get()), 0) << utf8;
  EXPECT_EQ(ffi::stored_str_hash(key), PyObject_Hash(want.get())) << utf8;
}

TEST_F(KeyCacheTest, Xxh3OfTheEmptyKey) { EXPECT_EQ(key_hash(nullptr, 0), 0x2D06800538D394C2u); }

// With PYTHONHASHSEED=0 the interpreter hashes bytes with SipHash-1-3 under
// the zero key, which makes it a reference for one 8-byte block.
TEST_F(KeyCacheTest, SipHashMatchesTheInterpreter) {
  Owned randomized = Owned::steal(PyObject_GetAttrString(PySys_GetObject("flags"), "hash_randomization"));
  ASSERT_TRUE(randomized);
  if (std::string(PyHash_GetFuncDef()->name) != "siphash13" || PyObject_IsTrue(randomized.get())) {
    GTEST_SKIP() << "interpreter does not hash with unkeyed SipHash-1-3";
  }
  for (uint64_t m : {uint64_t{0}, uint64_t{1}, uint64_t{0x0123456789abcdef}, ~uint64_t{0}}) {
    Py_hash_t want = ffi::hash_buffer(&m, 8);
    const auto got = Py_hash_t(siphash13(0, 0, m));
    EXPECT_EQ(got == -1 ? -2 : got, want) << m;
  }
}

struct KeyCase {
  std::string utf8;
  const char* why;
};
const KeyCase kKeys[] = {
    {"", "empty key"},
    {"id", "short ASCII"},
    {std::string(64, 'k'), "longest cached key"},
    {"caf\xC3\xA9", "1-byte kind, non-ASCII"},
    {"\xE2\x82\xAC" "uro", "2-byte kind"},
    {"\xF0\x9F\x98\x80", "4-byte kind"},
    {std::string("a\0b", 3), "NUL inside"},
};

TEST_F(KeyCacheTest, HitReturnsTheCachedObject) {
  for (const KeyCase& c : kKeys) {
    SCOPED_TRACE(c.why);
    Owned first = lookup(c.utf8);
    expect_key(first.get(), c.utf8);
    Owned second = lookup(c.utf8);
    EXPECT_EQ(first.get(), second.get());
  }
}

// Two different keys under one 64-bit hash cannot be found by search, so
// one is planted in the slot the way a real collision would leave it.
TEST_F(KeyCacheTest, HashCollisionIsNotReused) {
  const std::string key = "collide-me";
  const char* impostors[] = {"other", "collide-mE", "c\xC3\xA9llide-m", "collide-me-longer"};
  for (const char* impostor_text : impostors) {
    SCOPED_TRACE(impostor_text);
    const uint64_t h = key_hash(bytes_of(key), key.size());
    KeyMapSlot& slot = cache().slots[key_slot_index(h)];
    PyObject* impostor = PyUnicode_FromString(impostor_text);
    ASSERT_NE(impostor, nullptr);
    ASSERT_NE(PyUnicode_AsUTF8AndSize(impostor, nullptr), nullptr);  // as the cache keeps non-ASCII keys
    store_str_hash(impostor);
    Py_XDECREF(slot.str);
    slot = {h, impostor};
    Owned got = lookup(key);
    expect_key(got.get(), key);
    EXPECT_NE(got.get(), impostor);
    EXPECT_EQ(slot.str, got.get()) << "the true key replaces the impostor";
  }
}

// Keys that share a slot evict each other; an evicted key stays a valid,
// equal str for whoever holds it.
TEST_F(KeyCacheTest, EvictedKeysStayValid) {
  const std::string first = "slot-0";
  const size_t slot = key_slot_index(key_hash(bytes_of(first), first.size()));
  std::string rival;
  for (int i = 1; rival.empty(); ++i) {
    const std::string candidate = "slot-" + std::to_string(i);
    if (key_slot_index(key_hash(bytes_of(candidate), candidate.size())) == slot) rival = candidate;
  }
  Owned a = lookup(first);
  Owned b = lookup(rival);
  Owned a_again = lookup(first);
  EXPECT_NE(a.get(), a_again.get()) << "the rival evicted the first key";
  expect_key(a.get(), first);
  expect_key(b.get(), rival);
  expect_key(a_again.get(), first);
  EXPECT_EQ(cache().slots[slot].str, a_again.get());
}

// A key sequence finds exactly what key_lookup finds, whether its guess of
// the next key is right (records of one shape), wrong (keys in another
// order) or stale (the guessed key was evicted from its slot meanwhile).
TEST_F(KeyCacheTest, SequenceFindsWhatLookupFinds) {
  const std::string first = "seq-0";
  const size_t slot = key_slot_index(key_hash(bytes_of(first), first.size()));
  std::string rival;
  for (int i = 1; rival.empty(); ++i) {
    const std::string candidate = "seq-" + std::to_string(i);
    if (key_slot_index(key_hash(bytes_of(candidate), candidate.size())) == slot) rival = candidate;
  }
  const std::vector<std::string> records[] = {
      {"id", first, "caf\xC3\xA9", ""},  // a record
      {"id", first, "caf\xC3\xA9", ""},  // the same shape again: every guess right
      {first, "id", "", "caf\xC3\xA9"},  // another order: guesses wrong
      {"id", first},                       // first follows "id" again
      {"x", rival},                        // the rival evicts the first key
      {"id", first, "caf\xC3\xA9", ""},  // the guess after "id" is stale
  };
  KeySequence keys(cache());
  std::vector<Owned> found;  // kept, so that an evicted key stays a live object
  for (const auto& record : records) {
    for (const std::string& k : record) {
      SCOPED_TRACE(k);
      found.push_back(Owned::steal(keys.lookup(bytes_of(k), k.size(), 1)));
      expect_key(found.back().get(), k);
      EXPECT_EQ(found.back().get(), lookup(k).get());
    }
  }
  EXPECT_EQ(cache().slots[slot].str, lookup(first).get());
}

}  // namespace
}  // namespace quibex
