// The output buffer's reservation promise and the layout copy's write-back,
// as the checked builds hold them: each case is a mistake a writer could
// make that would otherwise go unnoticed (the store lands in the buffer's
// spare byte or its slack, and the output happens to come out right).
#include "serialize/layout.h"

#include "python_env.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace quibex {
namespace {

#ifdef QUIBEX_ASSERTIONS

constexpr uint64_t kCapacity = 256;

// A compact layout over a fresh bytes object of kCapacity bytes.
struct Buffer {
  CompactLayout layout;
  Buffer() {
    testing_support::ensure_python();
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, kCapacity);
    layout.out = OutputBuffer{kCapacity, 0, reinterpret_cast<PyBytesObject*>(bytes)};
  }
  ~Buffer() { Py_XDECREF(layout.out.bytes); }
  std::string text() const { return {PyBytes_AS_STRING(layout.out.bytes), layout.out.length}; }
};

DumpResult write_word(OutputBuffer& out, const char (&word)[9], uint64_t reserve, uint64_t count) {
  QUIBEX_TRY(out.reserve(reserve));
  std::memcpy(out.write_ptr(), word, 8);
  out.advance(count);
  return kDumpOk;
}

// The sequence every compact container makes: a separator after each write.
TEST(OutputBufferChecks, SeparatorsAfterReservedWritesPass) {
  Buffer b;
  ASSERT_TRUE(b.layout.begin('[').ok());
  ASSERT_TRUE(write_word(b.layout.out, "12345678", 8, 8).ok());  // the whole reservation
  ASSERT_TRUE(b.layout.element_prefix(false).ok());              // its spare byte
  ASSERT_TRUE(b.layout.out.write_null().ok());
  ASSERT_TRUE(b.layout.end(']').ok());
  b.layout.out.put_spare_byte('\n');
  EXPECT_EQ(b.text(), "[12345678,null]\n");
}

TEST(OutputBufferChecksDeathTest, WriteCountingPastItsReservation) {
  Buffer b;
  EXPECT_DEATH((void)write_word(b.layout.out, "12345678", 4, 5), "assertion failed: within_reservation");
}

// A second separator with no reservation between (a space after ':', say).
TEST(OutputBufferChecksDeathTest, TwoSpareBytesInARow) {
  Buffer b;
  ASSERT_TRUE(b.layout.begin('{').ok());
  b.layout.out.put_spare_byte(':');
  EXPECT_DEATH(b.layout.out.put_spare_byte(' '), "assertion failed: within_reservation");
}

// A write after a separator that relies on the previous reservation.
TEST(OutputBufferChecksDeathTest, UnreservedWriteAfterASeparator) {
  Buffer b;
  ASSERT_TRUE(b.layout.begin('[').ok());
  ASSERT_TRUE(b.layout.element_prefix(false).ok());
  EXPECT_DEATH(b.layout.out.put8("null\0\0\0\0", 4), "assertion failed: within_reservation");
}

// A container writer that writes through its `layout` parameter while its
// local copy lives: the copy's hand-back would discard the write.
TEST(OutputBufferChecksDeathTest, WriteThroughTheSharedLayoutBesideItsCopy) {
  Buffer b;
  EXPECT_DEATH(
      {
        LocalLayout<CompactLayout> w(b.layout);
        (void)w->begin('[');
        (void)b.layout.out.write_null();
      },
      "assertion failed: shared_.out.length == taken_length_");
}

// Through call(), the same write is handed over and taken back.
TEST(OutputBufferChecks, WriteThroughCallIsKept) {
  Buffer b;
  {
    LocalLayout<CompactLayout> w(b.layout);
    ASSERT_TRUE(w->begin('[').ok());
    ASSERT_TRUE(w.call([](CompactLayout& shared) { return shared.out.write_null(); }).ok());
    ASSERT_TRUE(w->end(']').ok());
  }
  EXPECT_EQ(b.text(), "[null]");
}

#else

TEST(OutputBufferChecks, NeedCheckedBuild) { GTEST_SKIP() << "QUIBEX_ASSERTIONS is off in this build"; }

#endif

}  // namespace
}  // namespace quibex
