#include "deserialize/reader/arena.h"
#include "deserialize/reader/reader.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace quibex {
namespace {

// The parse buffer size loads uses for a text of `len` bytes.
size_t loads_arena_size(size_t len) { return (((len >> 1) * 24) + 4344) & ~size_t{4095}; }

// One read inside an arena sized as loads sizes it.
struct Parsed {
  std::unique_ptr<uint8_t[]> block;
  ArenaAllocator allocator{};
  ReadError error{};
  DocHeader* doc = nullptr;

  explicit Parsed(std::string_view text) {
    const size_t size = loads_arena_size(text.size());
    block.reset(new uint8_t[size]);
    EXPECT_TRUE(arena_init(&allocator, block.get(), size));
    doc = read(reinterpret_cast<const uint8_t*>(text.data()), text.size(), &allocator, &error);
  }
  const DocValue* root() const { return doc->root; }
};

std::string_view string_of(const DocValue* v) {
  return {reinterpret_cast<const char*>(v->payload.str), v->count()};
}

// Reads under both the loads arena and the system allocator and checks the
// outcome is the same; returns the error message and position ("" on success).
std::pair<std::string, size_t> error_of(std::string_view text) {
  Parsed p(text);
  ReadError system_error{};
  DocHeader* d = read(reinterpret_cast<const uint8_t*>(text.data()), text.size(), nullptr,
                      &system_error);
  EXPECT_EQ(d == nullptr, p.doc == nullptr) << text;
  if (d != nullptr) release_document(d);
  if (p.doc != nullptr) return {"", 0};
  EXPECT_STREQ(system_error.message, p.error.message);
  EXPECT_EQ(system_error.position, p.error.position);
  return {p.error.message, p.error.position};
}

TEST(Reader, RecordLayoutOfNestedDocument) {
  Parsed p(R"([1,{"a":[]},"x"])");
  ASSERT_NE(p.doc, nullptr);
  const DocValue* r = p.root();
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(r) - reinterpret_cast<const uint8_t*>(p.doc), 64);
  EXPECT_EQ(p.doc->value_count, 6u);
  EXPECT_EQ(p.doc->bytes_read, 16u);
  EXPECT_EQ(r->tag, kTagArray | (3u << 8));
  EXPECT_EQ(r->payload.distance, 96u);
  EXPECT_EQ(r[1].tag, kTagUnsigned);
  EXPECT_EQ(r[1].payload.u, 1u);
  EXPECT_EQ(r[2].tag, kTagObject | (1u << 8));
  EXPECT_EQ(r[2].payload.distance, 48u);
  EXPECT_EQ(r[3].tag, kTagString | (1u << 8));
  EXPECT_EQ(string_of(&r[3]), "a");
  EXPECT_EQ(r[4].tag, kTagArray);
  EXPECT_EQ(r[4].payload.distance, 16u);
  EXPECT_EQ(r[2].next_sibling(), &r[5]);
  EXPECT_EQ(string_of(&r[5]), "x");
  EXPECT_EQ(r[5].payload.str[1], 0);  // the closing quote was overwritten with a zero byte
  EXPECT_TRUE(r[2].is_container());
  EXPECT_FALSE(r[5].is_container());
}

TEST(Reader, ScalarDocumentsAndLiterals) {
  struct Case {
    std::string_view text;
    uint64_t tag;
  };
  const Case cases[] = {{"null", kTagNull}, {" true ", kTagTrue}, {"false\n", kTagFalse},
                        {"0", kTagUnsigned}, {"-0", kTagSigned},  {"-0.0", kTagReal},
                        {"\"\"", kTagString}, {"[]", kTagArray},  {"{ }", kTagObject}};
  for (const Case& c : cases) {
    Parsed p(c.text);
    ASSERT_NE(p.doc, nullptr) << c.text;
    EXPECT_EQ(p.root()->tag, c.tag) << c.text;
    EXPECT_EQ(p.doc->value_count, 1u);
    EXPECT_EQ(p.doc->bytes_read, c.text.size());
  }
}

TEST(Reader, ContainersInAllShapes) {
  Parsed p(" {\n  \"k\" : [ 1 , { } , [ [ ] ] , \"v\" ] ,\"e\":{\"z\":null}\n} ");
  ASSERT_NE(p.doc, nullptr) << p.error.message;
  const DocValue* r = p.root();
  EXPECT_EQ(r->tag, kTagObject | (2u << 8));
  EXPECT_EQ(p.doc->value_count, 12u);
  EXPECT_EQ(r->payload.distance, 12u * 16);
  const DocValue* k = r->first_child();
  EXPECT_EQ(string_of(k), "k");
  const DocValue* arr = k->next_sibling();
  EXPECT_EQ(arr->tag, kTagArray | (4u << 8));
  const DocValue* e = arr->next_sibling();
  EXPECT_EQ(string_of(e), "e");
  const DocValue* obj = e->next_sibling();
  EXPECT_EQ(obj->tag, kTagObject | (1u << 8));
  EXPECT_EQ(obj->next_sibling(), r->next_sibling());
}

struct ErrorCase {
  std::string_view text;
  std::string_view message;
  size_t position;
};

constexpr std::string_view kEnd = "unexpected end of data";
constexpr std::string_view kChar = "unexpected character";
constexpr std::string_view kComma = "trailing comma is not allowed";
constexpr std::string_view kLiteral = "invalid literal";
constexpr std::string_view kAfter = "unexpected content after document";
constexpr std::string_view kEscChar = "invalid escaped character in string";
constexpr std::string_view kEscSeq = "invalid escaped sequence in string";
constexpr std::string_view kControl = "unexpected control character in string";
constexpr std::string_view kInf = "number is infinity when parsed as double";

// Every message of the reader with its position, and the end-of-input rule.
const ErrorCase kErrors[] = {
    {"", "input data is empty", 0},
    {" \t\r\n ", "input data is empty", 0},
    {"[1,2,]", kComma, 4},
    {"{\"a\":1,}", kComma, 6},
    {"[1 , \n ]", kComma, 3},
    {"{\"a\":1, }", kComma, 6},
    {"[,1]", kChar, 1},
    {"{,}", kChar, 1},
    {"{\"a\" 1}", kChar, 5},
    {"{\"a\":1 \"b\":2}", kChar, 7},
    {"{1:2}", kChar, 1},
    {"[1 2]", kChar, 3},
    {"[1}", kChar, 2},
    {"{\"a\":1]", kChar, 6},
    {"]", kChar, 0},
    {"{\"a\":]", kChar, 5},
    {"\"abc", kEnd, 4},
    {"[1,2", kEnd, 4},
    {"[1,", kEnd, 3},
    {"{\"a\"", kEnd, 4},
    {"{\"a\":", kEnd, 5},
    {"[", kEnd, 1},
    {"tru", kEnd, 3},
    {"fals", kEnd, 4},
    {"[nul", kEnd, 4},
    {"[tru]", kLiteral, 1},
    {"[truex]", kChar, 5},
    {"nulll", kAfter, 4},
    {"fale", kLiteral, 0},
    {"t", kEnd, 1},
    {"x", kChar, 0},
    {"\"\\u12", kEnd, 5},
    {"\"\\u12\"", kEscSeq, 1},
    {"\"\\u", kEnd, 3},
    {"\"\\", kEnd, 2},
    {"\"\\x\"", kEscChar, 2},
    {"\"\\ud800\"", "no low surrogate in string", 7},
    {"\"\\ud800", kEnd, 7},
    {"\"\\ud800\\", kEnd, 8},
    {"\"\\ud800\\u00", kEnd, 11},
    {"\"\\ud800x\"", "no low surrogate in string", 7},
    {"\"\\udc00\"", "invalid high surrogate in string", 1},
    {"\"\\ud800\\u0041\"", "invalid low surrogate in string", 7},
    {"\"\\ud800\\ud800\"", "invalid low surrogate in string", 7},
    {"\"\\ud800\\u00G1\"", kEscSeq, 7},
    {"\"a\tb\"", kControl, 2},
    {"[\"a\nb\"]", kControl, 3},
    {std::string_view("\"a\0b\"", 5), kControl, 2},
    {"NaN", kChar, 0},
    {"Infinity", kChar, 0},
    {"+1", kChar, 0},
    {".5", kChar, 0},
    {"/* */", kChar, 0},
    {"'a'", kChar, 0},
    {"-Infinity", "no digit after minus sign", 1},
    {"-", kEnd, 1},
    {"01", "number with leading zero is not allowed", 0},
    {"-01", "number with leading zero is not allowed", 1},
    {"[00]", "number with leading zero is not allowed", 1},
    {"1.", kEnd, 2},
    {"1e", kEnd, 2},
    {"1.e5", "no digit after decimal point", 2},
    {"1e+", kEnd, 3},
    {"[1e+]", "no digit after exponent sign", 4},
    {"[1ex]", "no digit after exponent sign", 3},
    {"1e309", kInf, 0},
    {"-1e309", kInf, 0},
    {"[0, 1e400]", kInf, 4},
    {"1e1000000000000000000", kInf, 0},
    {"1 2", kAfter, 2},
    {"[] x", kAfter, 3},
    {std::string_view("[]\0", 3), kAfter, 2},
    {"\xEF\xBB\xBF[]", kChar, 0},
    {"[1,\xC2\xA0 2]", kChar, 3},
    {"[1,\f2]", kChar, 3},
    {"[1]]", kAfter, 3},
};

TEST(Reader, ErrorMessagesAndPositions) {
  for (const ErrorCase& c : kErrors) {
    const auto [message, position] = error_of(c.text);
    EXPECT_EQ(message, c.message) << "text: " << c.text;
    EXPECT_EQ(position, c.position) << "text: " << c.text;
  }
}

TEST(Reader, DepthLimit) {
  const std::string ok = std::string(1024, '[') + std::string(1024, ']');
  EXPECT_EQ(error_of(ok).first, "");
  const std::string objects = [] {
    std::string s;
    for (int i = 0; i < 1023; ++i) s += "{\"a\":";
    s += "[]";
    for (int i = 0; i < 1023; ++i) s += "}";
    return s;
  }();
  EXPECT_EQ(error_of(objects).first, "");
  const std::string deep = std::string(1025, '[') + std::string(1025, ']');
  EXPECT_EQ(error_of(deep), std::make_pair(std::string("array and object recursion depth exceeded"),
                                           size_t{1025}));
  EXPECT_EQ(error_of(std::string(1025, '[')), std::make_pair(std::string(kEnd), size_t{1025}));

  Parsed p(ok);
  ASSERT_NE(p.doc, nullptr);
  EXPECT_EQ(p.doc->value_count, 1024u);
  EXPECT_EQ(p.root()->payload.distance, 1024u * 16);
  EXPECT_EQ(p.root()[1023].payload.distance, 16u);
}

// Whitespace runs of every length and mix between tokens, ended by a valid
// token or by a stray byte whose position must be exact.
TEST(Reader, WhitespaceRunsOfEveryLength) {
  const std::string_view fills[] = {" ", "\n", "\t", "\r\n", "\n    "};
  for (size_t n = 0; n < 48; ++n) {
    for (std::string_view fill : fills) {
      std::string ws;
      for (size_t i = 0; i < n; ++i) ws += fill[i % fill.size()];
      const std::string ok = ws + "{" + ws + "\"a\"" + ws + ":" + ws + "[" + ws + "1" + ws + "," + ws + "true" + ws + "]" + ws + "}" + ws;
      EXPECT_EQ(error_of(ok).first, "") << n;
      const std::string stray = "[" + ws + "1" + ws + "x]";
      EXPECT_EQ(error_of(stray), std::make_pair(std::string(kChar), 2 + 2 * ws.size())) << n;
    }
  }
}

TEST(Reader, UnescapesInPlace) {
  struct Case {
    std::string_view text;
    std::string_view value;
  };
  const Case cases[] = {
      {R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
      {R"("\u0041\u00e9\u20AC")", "A\xC3\xA9\xE2\x82\xAC"},
      {R"("\u0000")", std::string_view("\0", 1)},
      {R"("\ud83d\ude00")", "\xF0\x9F\x98\x80"},
      {R"("\uDBFF\uDFFF")", "\xF4\x8F\xBF\xBF"},
      {R"("\uD800\uDC00")", "\xF0\x90\x80\x80"},
      {R"("\u07FF\u0800\uFFFF")", "\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"},
      {"\"caf\xC3\xA9 \\n \xF0\x9F\x98\x80 \xE2\x82\xAC\"", "caf\xC3\xA9 \n \xF0\x9F\x98\x80 \xE2\x82\xAC"},
      {R"("abcdefghijklmnopqrstuvwxyz0123456789\nabcdefghijklmnopqrstuvwxyz0123456789\t")",
       "abcdefghijklmnopqrstuvwxyz0123456789\nabcdefghijklmnopqrstuvwxyz0123456789\t"},
  };
  for (const Case& c : cases) {
    Parsed p(c.text);
    ASSERT_NE(p.doc, nullptr) << c.text << ": " << p.error.message;
    EXPECT_EQ(string_of(p.root()), c.value) << c.text;
  }
}

// Escapes at every offset of long strings, against a plain reference
// unescaper: catches block-copy faults in copying mode.
TEST(Reader, EscapesAtEveryOffset) {
  for (size_t len = 0; len < 70; ++len) {
    for (size_t at = 0; at <= len; ++at) {
      for (std::string_view esc : {"\\n", "\\u00e9", "\\ud83d\\ude00", "\\\\"}) {
        std::string body, want;
        for (size_t i = 0; i < len; ++i) {
          if (i == at) {
            body += esc;
            want += esc == "\\n" ? "\n" : esc == "\\\\" ? "\\" : esc == "\\u00e9" ? "\xC3\xA9" : "\xF0\x9F\x98\x80";
          }
          const char c = static_cast<char>('a' + (i * 7) % 26);
          body += c;
          want += c;
          if (i % 11 == 10) {  // a second escape later on
            body += "\\t";
            want += "\t";
          }
        }
        const std::string text = "[\"" + body + "\",\"" + body + "\"]";
        Parsed p(text);
        ASSERT_NE(p.doc, nullptr) << text;
        EXPECT_EQ(string_of(p.root() + 1), want) << text;
        EXPECT_EQ(string_of(p.root() + 2), want) << text;
      }
    }
  }
}

// A dense text after an indented start needs more records than the estimate
// and its growth steps give inside the arena loads allocates; the arena holds
// them all, and every dense shape of every length is read.
TEST(Reader, DenseTextsFitTheLoadsArena) {
  std::string example = "[  ";
  for (int i = 0; i < 938; ++i) example += "1,";
  example += "1]";
  ASSERT_EQ(example.size(), 1881u);
  Parsed p(example);
  ASSERT_NE(p.doc, nullptr) << p.error.message;
  EXPECT_EQ(p.root()->count(), 939u);

  // Every length up to 400 items, then a stride up to about 16 KB.
  for (std::string_view open : {"[", "[  ", "[\n ", "{", "{  "}) {
    const bool object = open[0] == '{';
    const std::string_view close = object ? "}" : "]";
    for (std::string_view item : {"1", "[]", "{}", "\"\""}) {
      const std::string member = (object ? std::string("\"\":") : std::string()) + std::string(item);
      for (size_t n = 1; n < 4000; n += n < 400 ? 1 : 37) {
        std::string text(open);
        for (size_t i = 0; i < n; ++i) (text += member) += ',';
        text.back() = close[0];
        Parsed q(text);
        ASSERT_NE(q.doc, nullptr) << text.size() << " " << q.error.message;
        ASSERT_EQ(q.root()->count(), n);
      }
    }
  }
}

// Walks a record and its descendants the way the object builder does and
// checks the counts and distances agree; returns the record after it.
const DocValue* walk(const DocValue* v, const DocHeader* doc, size_t len) {
  switch (v->kind()) {
    case DocKind::Array:
    case DocKind::Object: {
      const bool object = v->kind() == DocKind::Object;
      const DocValue* child = v->first_child();
      for (uint64_t i = 0; i < v->count() * (object ? 2 : 1); ++i) {
        if (object && i % 2 == 0) {
          EXPECT_EQ(child->kind(), DocKind::String);
        }
        child = walk(child, doc, len);
      }
      EXPECT_EQ(child, v->next_sibling());
      return child;
    }
    case DocKind::String:
      EXPECT_GE(v->payload.str, doc->string_pool);
      EXPECT_LE(v->payload.str + v->count(), doc->string_pool + len);
      return v + 1;
    default:
      EXPECT_TRUE(v->tag == kTagNull || v->tag == kTagTrue || v->tag == kTagFalse ||
                  v->tag == kTagUnsigned || v->tag == kTagSigned || v->tag == kTagReal)
          << v->tag;
      return v + 1;
  }
}

// Random edits of a document that uses every construct: the arena and the
// system allocator agree, accepted documents are well formed, and errors
// are reported inside the text.
TEST(Reader, MutatedDocuments) {
  const std::string seed =
      R"({"a":[1,-2.5e-3,true,false,null,"x\u00e9\n"],"b":{"c":[],"d":{}},)"
      R"( "e" : [ 123456789012345678901 , 1e308 , "\ud83d\ude00" ] , "f":"cafÃ©"})";
  const char alphabet[] = "[]{},:\"\\ \nu0123456789abcdeftrunlsE+-.x\x00\x01";
  std::mt19937_64 rng(2024);
  const int rounds = std::getenv("QUIBEX_EXHAUSTIVE") ? 2000000 : 40000;
  for (int i = 0; i < rounds; ++i) {
    std::string text = seed;
    for (int edits = 1 + rng() % 4; edits > 0; --edits) {
      const size_t at = rng() % (text.size() + 1);
      const char c = alphabet[rng() % (sizeof alphabet - 1)];
      switch (rng() % 3) {
        case 0: text.insert(at, 1, c); break;
        case 1: if (at < text.size()) text.erase(at, 1); break;
        default: if (at < text.size()) text[at] = c; break;
      }
    }
    if (rng() % 8 == 0) text.resize(rng() % (text.size() + 1));
    Parsed p(text);
    ReadError e{};
    DocHeader* d = read(reinterpret_cast<const uint8_t*>(text.data()), text.size(), nullptr, &e);
    ASSERT_EQ(d == nullptr, p.doc == nullptr) << text;
    if (d == nullptr) {
      ASSERT_STREQ(e.message, p.error.message) << text;
      ASSERT_EQ(e.position, p.error.position) << text;
      ASSERT_LE(e.position, text.size()) << text;
      continue;
    }
    ASSERT_EQ(walk(p.root(), p.doc, text.size()) - p.root(),
              static_cast<ptrdiff_t>(p.doc->value_count)) << text;
    release_document(d);
  }
}

// A failing read leaves the arena as it found it: one free chunk.
TEST(Reader, FailureReleasesEverything) {
  alignas(16) static uint8_t block[1 << 16];
  ArenaAllocator a;
  ASSERT_TRUE(arena_init(&a, block, sizeof block));
  std::string big = "[";
  big.append(3000, '1').append(",x]");
  for (std::string_view text : {std::string_view("[1,2,]"), std::string_view("\"abc"),
                                std::string_view("  "), std::string_view(big)}) {
    ReadError e{};
    ASSERT_EQ(read(reinterpret_cast<const uint8_t*>(text.data()), text.size(), &a, &e), nullptr);
    void* whole = a.allocate(a.context, sizeof block - 64);
    EXPECT_NE(whole, nullptr) << text;
    a.release(a.context, whole);
  }
}

// An arena that holds the finished records but not the reader's two spare
// slots: the records move to system memory while reading and come back.
TEST(Reader, RecordsReturnToASnugArena) {
  for (size_t k : {100, 1000}) {
    std::string text = "[";
    for (size_t i = 0; i < k; ++i) text += "1,";
    text.back() = ']';
    const size_t copy_chunk = ((text.size() + 4 + 15) & ~size_t{15}) + 16;
    const size_t records_chunk = (k + 1 + 4) * 16 + 16;
    std::vector<uint8_t> storage(16 + copy_chunk + records_chunk + 16);
    uint8_t* block = reinterpret_cast<uint8_t*>(
        (reinterpret_cast<uintptr_t>(storage.data()) + 15) & ~uintptr_t{15});
    ArenaAllocator a;
    ASSERT_TRUE(arena_init(&a, block, 16 + copy_chunk + records_chunk));
    ReadError e{};
    DocHeader* d = read(reinterpret_cast<const uint8_t*>(text.data()), text.size(), &a, &e);
    ASSERT_NE(d, nullptr) << e.message;
    EXPECT_EQ(d->root->count(), k);
    EXPECT_EQ(d->value_count, k + 1);
    EXPECT_GE(reinterpret_cast<uint8_t*>(d), block);
    EXPECT_LT(reinterpret_cast<uint8_t*>(d), block + storage.size());
    EXPECT_EQ(d->root[k].payload.u, 1u);
  }
}

TEST(Reader, ArenaTooSmallIsAMemoryError) {
  alignas(16) static uint8_t block[256];
  ArenaAllocator a;
  ASSERT_TRUE(arena_init(&a, block, sizeof block));
  std::string text = "[";
  text.append(200, '1').append("]");
  ReadError e{};
  EXPECT_EQ(read(reinterpret_cast<const uint8_t*>(text.data()), text.size(), &a, &e), nullptr);
  EXPECT_STREQ(e.message, "memory allocation failed");
  EXPECT_EQ(e.category, ReadErrorCategory::Memory);
  EXPECT_EQ(e.position, 0u);
}

}  // namespace
}  // namespace quibex
