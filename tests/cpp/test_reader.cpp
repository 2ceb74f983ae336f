#include "deserialize/reader/reader.h"
#include "deserialize/utf8.h"
#include "python_env.h"
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <string_view>

namespace quibex {
namespace {

// One read of `text` from a buffer holding exactly the text and the zero
// byte after it, so that a read past them is caught by the sanitizers; an
// ASCII text is read as one.
struct Read {
  Owned value;
  ReadError error{};

  explicit Read(std::string_view text) {
    testing_support::ensure_python();
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[text.size() + 1]);
    if (!text.empty()) std::memcpy(buffer.get(), text.data(), text.size());
    buffer[text.size()] = 0;
    const bool ascii = std::all_of(text.begin(), text.end(), [](char c) { return static_cast<uint8_t>(c) < 0x80; });
    value = Owned::steal(read_document(buffer.get(), text.size(), ascii, &error, testing_support::state().read));
    EXPECT_FALSE(PyErr_Occurred()) << text;
    PyErr_Clear();
  }
};

// The repr of the stdlib's json.loads of `text`: ints and floats are told
// apart, and so are -0.0 and 0.0.
std::string json_repr(std::string_view text) {
  Owned json = Owned::steal(PyImport_ImportModule("json"));
  Owned arg = Owned::steal(PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size())));
  Owned value = Owned::steal(PyObject_CallMethod(json.get(), "loads", "O", arg.get()));
  if (!value) {
    PyErr_Clear();
    return "<rejected>";
  }
  Owned repr = Owned::steal(PyObject_Repr(value.get()));
  return PyUnicode_AsUTF8(repr.get());
}

std::string repr_of(PyObject* value) {
  Owned repr = Owned::steal(PyObject_Repr(value));
  return PyUnicode_AsUTF8(repr.get());
}

// The error message and position of a read ("" on success).
std::pair<std::string, size_t> error_of(std::string_view text) {
  Read r(text);
  if (r.value) return {"", 0};
  return {r.error.message, r.error.position};
}

// Reads `text` and checks that the value is the stdlib's.
void expect_value(std::string_view text) {
  Read r(text);
  ASSERT_TRUE(r.value) << text << ": " << r.error.message;
  EXPECT_EQ(repr_of(r.value.get()), json_repr(text)) << text;
}

TEST(Reader, ScalarsContainersAndLiterals) {
  for (std::string_view text : {"null", " true ", "false\n", "0", "-0", "-0.0", "\"\"", "[]", "{ }", "1.5e3",
                                "18446744073709551615", "-9223372036854775808", "[1,{\"a\":[]},\"x\"]",
                                " {\n  \"k\" : [ 1 , { } , [ [ ] ] , \"v\" ] ,\"e\":{\"z\":null}\n} ",
                                "{\"a\":1,\"a\":2,\"b\":{\"a\":3}}"}) {
    expect_value(text);
  }
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

TEST(Reader, Unescapes) {
  for (std::string_view text : {
           R"("\"\\\/\b\f\n\r\t")", R"("\u0041\u00e9\u20AC")", R"("\u0000")", R"("\ud83d\ude00")",
           R"("\uDBFF\uDFFF")", R"("\uD800\uDC00")", R"("\u07FF\u0800\uFFFF")",
           "\"caf\xC3\xA9 \\n \xF0\x9F\x98\x80 \xE2\x82\xAC\"",
           R"("abcdefghijklmnopqrstuvwxyz0123456789\nabcdefghijklmnopqrstuvwxyz0123456789\t")",
           R"({"k\n":"v\t","\u00e9":1})"}) {
    expect_value(text);
  }
}

// Escapes at every offset of long strings, keys and values: catches
// block-copy faults in copying mode.
TEST(Reader, EscapesAtEveryOffset) {
  for (size_t len = 0; len < 70; ++len) {
    for (size_t at = 0; at <= len; ++at) {
      for (std::string_view esc : {"\\n", "\\u00e9", "\\ud83d\\ude00", "\\\\"}) {
        std::string body;
        for (size_t i = 0; i < len; ++i) {
          if (i == at) body += esc;
          body += static_cast<char>('a' + (i * 7) % 26);
          if (i % 11 == 10) body += "\\t";  // a second escape later on
        }
        expect_value("[\"" + body + "\",{\"" + body + "\":\"" + body + "\"}]");
      }
    }
  }
}

// Lists longer than the value stack's batch move into their list object
// batch by batch; each ends up with exactly the room of its items, as a list
// made at its final size.
TEST(Reader, LongListsInBatches) {
  for (size_t n : {65535, 65536, 65537, 200000}) {
    std::string text = "[[";
    for (size_t i = 0; i < n; ++i) text += i % 3 == 0 ? "1," : i % 3 == 1 ? "{\"a\":[2]}," : "\"s\",";
    text.back() = ']';
    text += ",[1,2]]";
    Read r(text);
    ASSERT_TRUE(r.value) << r.error.message;
    PyObject* inner = PyList_GET_ITEM(r.value.get(), 0);
    ASSERT_EQ(size_t(PyList_GET_SIZE(inner)), n);
    EXPECT_EQ(reinterpret_cast<PyListObject*>(inner)->allocated, PyList_GET_SIZE(inner));
    EXPECT_EQ(repr_of(r.value.get()), json_repr(text));
    // The same text broken after its last batch: everything is released
    // and the error is where the text breaks.
    text.insert(text.size() - 7, "x");
    EXPECT_EQ(error_of(text), std::make_pair(std::string(kChar), text.size() - 8));
  }
}

// Random edits of a document that uses every construct: a document the
// reader accepts the stdlib accepts too, and errors are reported inside the
// text.
TEST(Reader, MutatedDocuments) {
  const std::string seed =
      R"({"a":[1,-2.5e-3,true,false,null,"x\u00e9\n"],"b":{"c":[],"d":{}},)"
      R"( "e" : [ 12345678901234567 , 1e308 , "\ud83d\ude00" ] , "f":"cafÃ©"})";
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
    // The reader is given well-formed UTF-8 only.
    if (validate_utf8_scalar(reinterpret_cast<const uint8_t*>(text.data()), text.size()) != text.size()) continue;
    Read r(text);
    if (!r.value) {
      ASSERT_NE(r.error.message, nullptr) << text;
      ASSERT_LE(r.error.position, text.size()) << text;
      continue;
    }
    ASSERT_NE(json_repr(text), "<rejected>") << text;
  }
}

}  // namespace
}  // namespace quibex
