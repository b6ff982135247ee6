// A JSON string literal, as meta.json is written and the readers' error texts quote values:
// the double quote and the backslash escaped, bytes below 0x20 as JSON's short escapes or
// \u00XX, every other byte (DEL and UTF-8 included) as it is. JSON asks no more.
#pragma once

#include <string>
#include <string_view>

namespace quillmere::detail {

inline void append_json_string(std::string& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (char c : s) {
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        if (u < 0x20) {
          out += "\\u00";
          out += kHex[u >> 4];
          out += kHex[u & 15];
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

inline std::string json_string(std::string_view s) {
  std::string out;
  append_json_string(out, s);
  return out;
}

}  // namespace quillmere::detail
