// A small JSON reader of our own: it keeps the line and column of every value,
// which error texts need, and stops at a fixed nesting depth.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "value_tree.h"

namespace quillmere::detail {

std::string place_text(Mark m) {
  return "line " + std::to_string(m.line) + " column " + std::to_string(m.column);
}

bool valid_utf8(std::string_view s) {
  std::size_t i = 0;
  const std::size_t n = s.size();
  while (i < n) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len = 0;
    std::uint32_t cp = 0;
    if ((c & 0xE0) == 0xC0) {
      len = 2;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (n - i < len) return false;
    for (std::size_t k = 1; k < len; ++k) {
      const auto cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000)) return false;
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

namespace {

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

class JsonParser {
 public:
  explicit JsonParser(std::string_view text) : s_(text) {}

  ParsedTree run() {
    ParsedTree out;
    skip_ws();
    std::shared_ptr<Node> root;
    const bool ok = value(0, root);
    out.root = root;
    if (ok) {
      skip_ws();
      if (i_ < s_.size()) fail_here("trailing characters");
    }
    out.failure = std::move(failure_);
    return out;
  }

 private:
  std::string_view s_;
  std::size_t i_ = 0;
  std::uint64_t line_ = 1;
  std::uint64_t col_ = 0;  // bytes consumed on the current line
  std::optional<std::string> failure_;

  // Position of the last consumed character.
  Mark consumed() const { return {line_, col_}; }
  // Position of the character about to be consumed.
  Mark next() const { return {line_, col_ + 1}; }

  bool eof() const { return i_ >= s_.size(); }
  char peek() const { return s_[i_]; }
  void advance() {
    if (s_[i_] == '\n') {
      ++line_;
      col_ = 0;
    } else {
      ++col_;
    }
    ++i_;
  }
  void skip_ws() {
    while (!eof()) {
      const char c = peek();
      if (c != ' ' && c != '\t' && c != '\n' && c != '\r') break;
      advance();
    }
  }
  bool fail_at(Mark m, std::string_view msg) {
    if (!failure_) failure_ = std::string(msg) + " at " + place_text(m);
    return false;
  }
  // Errors about an unexpected character name its place; errors at the end of the
  // text name the last character read.
  bool fail_here(std::string_view msg) { return fail_at(eof() ? consumed() : next(), msg); }

  bool value(std::uint64_t depth, std::shared_ptr<Node>& out) {
    if (eof()) return fail_at(consumed(), "EOF while parsing a value");
    switch (peek()) {
      case '{': return object(depth, out);
      case '[': return array(depth, out);
      case '"': return string(out);
      case 't': return literal("true", ScalarClass::boolean, true, out);
      case 'f': return literal("false", ScalarClass::boolean, false, out);
      case 'n': return literal("null", ScalarClass::null, false, out);
      default:
        if (peek() == '-' || (peek() >= '0' && peek() <= '9')) return number(out);
        return fail_here("expected value");
    }
  }

  bool literal(std::string_view word, ScalarClass cls, bool b, std::shared_ptr<Node>& out) {
    auto node = std::make_shared<Node>();
    node->start = next();
    for (char w : word) {
      if (eof()) return fail_at(consumed(), "EOF while parsing a value");
      if (peek() != w) return fail_here("expected value");
      advance();
    }
    node->cls = cls;
    node->bvalue = b;
    node->text = std::string(word);
    node->end = consumed();
    out = std::move(node);
    return true;
  }

  bool number(std::shared_ptr<Node>& out) {
    auto node = std::make_shared<Node>();
    node->start = next();
    const std::size_t begin = i_;
    bool minus = false;
    if (peek() == '-') {
      minus = true;
      advance();
    }
    if (eof()) return fail_at(consumed(), "EOF while parsing a value");
    bool fraction = false;
    std::uint64_t mag = 0;
    bool overflow = false;
    if (peek() == '0') {
      advance();
    } else if (peek() >= '1' && peek() <= '9') {
      while (!eof() && peek() >= '0' && peek() <= '9') {
        const auto d = static_cast<std::uint64_t>(peek() - '0');
        if (mag > (UINT64_MAX - d) / 10) overflow = true;
        else mag = mag * 10 + d;
        advance();
      }
    } else {
      return fail_here("invalid number");
    }
    if (!eof() && peek() == '.') {
      fraction = true;
      advance();
      if (eof()) return fail_at(consumed(), "EOF while parsing a value");
      if (peek() < '0' || peek() > '9') return fail_here("invalid number");
      while (!eof() && peek() >= '0' && peek() <= '9') advance();
    }
    if (!eof() && (peek() == 'e' || peek() == 'E')) {
      fraction = true;
      advance();
      if (!eof() && (peek() == '+' || peek() == '-')) advance();
      if (eof()) return fail_at(consumed(), "EOF while parsing a value");
      if (peek() < '0' || peek() > '9') return fail_here("invalid number");
      while (!eof() && peek() >= '0' && peek() <= '9') advance();
    }
    node->text = std::string(s_.substr(begin, i_ - begin));
    node->end = consumed();
    if (fraction) {
      node->cls = ScalarClass::floating;
    } else {
      node->cls = ScalarClass::integer;
      node->uvalue = overflow ? 0 : mag;
      node->overflow = overflow;
      node->negative = minus && (overflow || mag != 0);
    }
    out = std::move(node);
    return true;
  }

  bool hex4(std::uint32_t& v) {
    v = 0;
    for (int k = 0; k < 4; ++k) {
      if (eof()) return fail_at(consumed(), "EOF while parsing a string");
      const char c = peek();
      std::uint32_t d;
      if (c >= '0' && c <= '9') d = static_cast<std::uint32_t>(c - '0');
      else if (c >= 'a' && c <= 'f') d = static_cast<std::uint32_t>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') d = static_cast<std::uint32_t>(c - 'A' + 10);
      else return fail_here("invalid escape");
      v = (v << 4) | d;
      advance();
    }
    return true;
  }

  bool string(std::shared_ptr<Node>& out) {
    auto node = std::make_shared<Node>();
    node->start = next();
    advance();  // opening quote
    std::string text;
    for (;;) {
      if (eof()) return fail_at(consumed(), "EOF while parsing a string");
      const char c = peek();
      if (c == '"') {
        advance();
        break;
      }
      if (static_cast<unsigned char>(c) < 0x20)
        return fail_here("control character (\\u0000-\\u001F) found while parsing a string");
      if (c != '\\') {
        text += c;
        advance();
        continue;
      }
      advance();
      if (eof()) return fail_at(consumed(), "EOF while parsing a string");
      const char e = peek();
      switch (e) {
        case '"': text += '"'; break;
        case '\\': text += '\\'; break;
        case '/': text += '/'; break;
        case 'b': text += '\b'; break;
        case 'f': text += '\f'; break;
        case 'n': text += '\n'; break;
        case 'r': text += '\r'; break;
        case 't': text += '\t'; break;
        case 'u': break;
        default: return fail_here("invalid escape");
      }
      advance();
      if (e != 'u') continue;
      std::uint32_t cp;
      if (!hex4(cp)) return false;
      if (cp >= 0xDC00 && cp <= 0xDFFF) return fail_at(consumed(), "lone trailing surrogate in hex escape");
      if (cp >= 0xD800 && cp <= 0xDBFF) {
        if (s_.substr(i_, 2) != "\\u") return fail_at(consumed(), "lone leading surrogate in hex escape");
        advance();
        advance();
        std::uint32_t lo;
        if (!hex4(lo)) return false;
        if (lo < 0xDC00 || lo > 0xDFFF) return fail_at(consumed(), "lone leading surrogate in hex escape");
        cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
      }
      append_utf8(text, cp);
    }
    node->end = consumed();
    if (!valid_utf8(text)) return fail_at(node->end, "invalid UTF-8 in string");
    node->cls = ScalarClass::string;
    node->text = std::move(text);
    out = std::move(node);
    return true;
  }

  bool enter(std::uint64_t depth) {
    if (depth + 1 > kMaxDepth) return fail_here("recursion limit exceeded");
    return true;
  }

  // Counts a child into its container's weight and height.
  static void grow(Node& node, const Node& child) {
    node.weight += child.weight;
    node.height = std::max(node.height, child.height + 1);
  }

  // Objects and arrays alike: `element` reads one element into the node; elements
  // are separated by commas up to `close`.
  template <class Element>
  bool container(std::uint64_t depth, NodeKind kind, char close, std::string_view eof_message,
                 std::string_view expected_msg, std::shared_ptr<Node>& out, Element element) {
    if (!enter(depth)) return false;
    auto node = std::make_shared<Node>();
    node->kind = kind;
    node->start = next();
    advance();
    out = node;
    auto broken = [&] {
      node->complete = false;
      return false;
    };
    skip_ws();
    if (!eof() && peek() == close) {
      advance();
      node->end = consumed();
      return true;
    }
    for (;;) {
      skip_ws();
      if (!element(*node)) return broken();
      skip_ws();
      if (eof()) return fail_at(consumed(), eof_message), broken();
      if (peek() == ',') {
        advance();
        skip_ws();
        if (!eof() && peek() == close) return fail_here("trailing comma"), broken();
        continue;
      }
      if (peek() == close) {
        advance();
        node->end = consumed();
        return true;
      }
      return fail_here(expected_msg), broken();
    }
  }

  bool object(std::uint64_t depth, std::shared_ptr<Node>& out) {
    constexpr std::string_view kEofMessage = "EOF while parsing an object";
    return container(depth, NodeKind::mapping, '}', kEofMessage, "expected `,` or `}`", out, [&](Node& node) {
      if (eof()) return fail_at(consumed(), kEofMessage);
      if (peek() != '"') return fail_here("key must be a string");
      std::shared_ptr<Node> key;
      if (!string(key)) return false;
      skip_ws();
      if (eof()) return fail_at(consumed(), kEofMessage);
      if (peek() != ':') return fail_here("expected `:`");
      advance();
      skip_ws();
      std::shared_ptr<Node> val;
      const bool ok = value(depth + 1, val);
      if (val) {
        grow(node, *val);
        node.entries.emplace_back(std::move(key), std::move(val));
      }
      return ok;
    });
  }

  bool array(std::uint64_t depth, std::shared_ptr<Node>& out) {
    return container(depth, NodeKind::sequence, ']', "EOF while parsing a list", "expected `,` or `]`", out,
                     [&](Node& node) {
                       std::shared_ptr<Node> val;
                       const bool ok = value(depth + 1, val);
                       if (val) {
                         grow(node, *val);
                         node.items.push_back(std::move(val));
                       }
                       return ok;
                     });
  }
};

}  // namespace

ParsedTree parse_json(std::string_view text) { return JsonParser(text).run(); }

}  // namespace quillmere::detail
