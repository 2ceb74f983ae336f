// The quoted, escaped form of a JSON string written the obvious way, one
// byte at a time: what every escaper variant must produce.
#pragma once

#include <string>
#include <string_view>

namespace quibex::testing_support {

inline std::string reference_escape(std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (unsigned char b : s) {
    switch (b) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        if (b < 0x20) {
          out += "\\u00";
          out += kHex[b >> 4];
          out += kHex[b & 15];
        } else {
          out += static_cast<char>(b);
        }
    }
  }
  return out + "\"";
}

}  // namespace quibex::testing_support
