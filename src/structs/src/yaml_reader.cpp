// Builds the value tree from libyaml's event stream: one document, aliases shared
// (never copied) under an expansion budget, nesting bounded, marks from libyaml.
#include <yaml.h>

#include <map>
#include <string>
#include <string_view>

#include "value_tree.h"

namespace quillmere::detail {

namespace {

bool all_of(std::string_view s, bool (*pred)(char)) {
  if (s.empty()) return false;
  for (char c : s)
    if (!pred(c)) return false;
  return true;
}
bool is_dec(char c) { return c >= '0' && c <= '9'; }
bool is_hex(char c) { return is_dec(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool is_oct(char c) { return c >= '0' && c <= '7'; }
bool is_bin(char c) { return c == '0' || c == '1'; }

unsigned digit_value(char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
  return static_cast<unsigned>(c - 'A' + 10);
}

bool is_float_text(std::string_view s) {
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) s.remove_prefix(1);
  if (s == ".inf" || s == ".Inf" || s == ".INF") return true;
  std::size_t i = 0;
  std::size_t int_digits = 0;
  while (i < s.size() && is_dec(s[i])) ++i, ++int_digits;
  std::size_t frac_digits = 0;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && is_dec(s[i])) ++i, ++frac_digits;
  }
  if (int_digits == 0 && frac_digits == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    std::size_t exp_digits = 0;
    while (i < s.size() && is_dec(s[i])) ++i, ++exp_digits;
    if (exp_digits == 0) return false;
  }
  return i == s.size();
}

}  // namespace

bool parse_yaml_integer(std::string_view text, Node& n) {
  std::string_view s = text;
  bool minus = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    minus = s[0] == '-';
    s.remove_prefix(1);
  }
  unsigned base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'o' || s[1] == 'b')) {
    base = s[1] == 'x' ? 16 : s[1] == 'o' ? 8 : 2;
    s.remove_prefix(2);
    if (!all_of(s, base == 16 ? is_hex : base == 8 ? is_oct : is_bin)) return false;
  } else if (!all_of(s, is_dec)) {
    return false;
  }
  std::uint64_t v = 0;
  bool overflow = false;
  for (char c : s) {
    const unsigned d = digit_value(c);
    if (v > (UINT64_MAX - d) / base) {
      overflow = true;
      break;
    }
    v = v * base + d;
  }
  n.cls = ScalarClass::integer;
  n.overflow = overflow;
  n.uvalue = overflow ? 0 : v;
  n.negative = minus && (overflow || v != 0);
  return true;
}

void resolve_plain_scalar(Node& n) {
  const std::string& t = n.text;
  if (t.empty() || t == "~" || t == "null" || t == "Null" || t == "NULL") {
    n.cls = ScalarClass::null;
  } else if (t == "true" || t == "True" || t == "TRUE") {
    n.cls = ScalarClass::boolean;
    n.bvalue = true;
  } else if (t == "false" || t == "False" || t == "FALSE") {
    n.cls = ScalarClass::boolean;
    n.bvalue = false;
  } else if (parse_yaml_integer(t, n)) {
    // classified as integer
  } else if (is_float_text(t) || t == ".nan" || t == ".NaN" || t == ".NAN") {
    n.cls = ScalarClass::floating;
  } else {
    n.cls = ScalarClass::string;
  }
}

namespace {

constexpr std::string_view kCoreTag = "tag:yaml.org,2002:";

void resolve_scalar(Node& n, bool plain) {
  if (n.tag.starts_with(kCoreTag)) {
    const std::string_view kind = std::string_view(n.tag).substr(kCoreTag.size());
    if (kind == "str") {
      n.cls = ScalarClass::string;
    } else if (kind == "null") {
      n.cls = ScalarClass::null;
    } else if (kind == "int") {
      if (!parse_yaml_integer(n.text, n)) n.cls = ScalarClass::string;
    } else {
      resolve_plain_scalar(n);
    }
    return;
  }
  if (plain) resolve_plain_scalar(n);
  else n.cls = ScalarClass::string;
}

Mark mark_of(const yaml_mark_t& m) { return {m.line + 1, m.column + 1}; }

class YamlBuilder {
 public:
  explicit YamlBuilder(std::string_view text) : text_(text) {}

  ParsedTree run() {
    ParsedTree out;
    yaml_parser_t parser;
    if (!yaml_parser_initialize(&parser)) {
      out.failure = "out of memory";
      return out;
    }
    yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char*>(text_.data()), text_.size());
    yaml_parser_set_encoding(&parser, YAML_UTF8_ENCODING);
    for (bool done = false; !done && !failure_;) {
      yaml_event_t ev;
      if (!yaml_parser_parse(&parser, &ev)) {
        syntax_failure(parser);
        break;
      }
      done = handle(ev);
      yaml_event_delete(&ev);
    }
    yaml_parser_delete(&parser);
    if (failure_)
      for (auto& open : stack_) open.node->complete = false;
    out.root = root_;
    out.failure = std::move(failure_);
    return out;
  }

 private:
  struct Open {
    std::shared_ptr<Node> node;
    std::string anchor;
    std::shared_ptr<Node> pending_key;  // mapping: a key waiting for its value
  };

  std::string_view text_;
  std::vector<Open> stack_;
  std::shared_ptr<Node> root_;
  std::map<std::string, NodePtr, std::less<>> anchors_;
  std::optional<std::string> failure_;
  bool seen_document_ = false;
  std::uint64_t expansion_ = 0;

  void fail(std::string msg) {
    if (!failure_) failure_ = std::move(msg);
  }

  // Reader errors carry a byte offset rather than a mark.
  Mark mark_of_offset(std::size_t offset) const {
    Mark m{1, 1};
    for (std::size_t k = 0; k < offset && k < text_.size(); ++k) {
      if (text_[k] == '\n') {
        ++m.line;
        m.column = 1;
      } else if ((static_cast<unsigned char>(text_[k]) & 0xC0) != 0x80) {
        ++m.column;
      }
    }
    return m;
  }

  void syntax_failure(const yaml_parser_t& p) {
    if (p.error == YAML_MEMORY_ERROR) return fail("out of memory");
    std::string msg = p.problem ? p.problem : "unknown error";
    const Mark pm = p.error == YAML_READER_ERROR ? mark_of_offset(p.problem_offset) : mark_of(p.problem_mark);
    msg += " at " + place_text(pm);
    if (p.context) {
      msg += ", ";
      msg += p.context;
      const Mark cm = mark_of(p.context_mark);
      if (!(cm == pm)) msg += " at " + place_text(cm);
    }
    fail(std::move(msg));
  }

  // Adds a finished (or, for containers, just opened) node to its parent.
  void attach(const std::shared_ptr<Node>& node, bool counted) {
    if (stack_.empty()) {
      root_ = node;
      return;
    }
    Open& top = stack_.back();
    if (counted) {
      top.node->weight += node->weight;
      top.node->height = std::max(top.node->height, node->height + 1);
    }
    if (top.node->kind == NodeKind::sequence) {
      top.node->items.push_back(node);
    } else if (!top.pending_key) {
      top.pending_key = node;
    } else {
      top.node->entries.emplace_back(std::move(top.pending_key), node);
      top.pending_key.reset();
    }
  }

  void remember(const yaml_char_t* anchor, const NodePtr& node) {
    if (anchor) anchors_[reinterpret_cast<const char*>(anchor)] = node;
  }

  static std::string tag_of(const yaml_char_t* tag) {
    if (!tag) return {};
    std::string t = reinterpret_cast<const char*>(tag);
    return t == "!" ? std::string() : t;  // the non-specific tag adds nothing
  }

  void open(const yaml_event_t& ev, NodeKind kind, const yaml_char_t* anchor, const yaml_char_t* tag) {
    if (stack_.size() + 1 > kMaxDepth) return fail("recursion limit exceeded at " + place_text(mark_of(ev.start_mark)));
    auto node = std::make_shared<Node>();
    node->kind = kind;
    node->tag = tag_of(tag);
    node->start = node->end = mark_of(ev.start_mark);
    attach(node, false);
    stack_.push_back({node, anchor ? reinterpret_cast<const char*>(anchor) : "", nullptr});
  }

  void close() {
    if (stack_.empty()) return;
    Open top = std::move(stack_.back());
    stack_.pop_back();
    if (!top.anchor.empty()) anchors_[top.anchor] = top.node;
    if (!stack_.empty()) {
      Node& parent = *stack_.back().node;
      parent.weight += top.node->weight;
      parent.height = std::max(parent.height, top.node->height + 1);
    }
  }

  // Returns true at the end of the stream.
  bool handle(const yaml_event_t& ev) {
    switch (ev.type) {
      case YAML_STREAM_START_EVENT: return false;
      case YAML_DOCUMENT_START_EVENT:
        if (seen_document_) fail("deserializing from YAML containing more than one document is not supported");
        seen_document_ = true;
        return false;
      case YAML_DOCUMENT_END_EVENT: return false;
      case YAML_STREAM_END_EVENT:
        if (!seen_document_) fail("EOF while parsing a value");
        return true;
      case YAML_SCALAR_EVENT: {
        const auto& sc = ev.data.scalar;
        auto node = std::make_shared<Node>();
        node->text.assign(reinterpret_cast<const char*>(sc.value), sc.length);
        node->tag = tag_of(sc.tag);
        node->plain = sc.style == YAML_PLAIN_SCALAR_STYLE;
        node->start = node->end = mark_of(ev.start_mark);
        resolve_scalar(*node, node->plain);
        attach(node, true);
        remember(sc.anchor, node);
        return false;
      }
      case YAML_SEQUENCE_START_EVENT:
        open(ev, NodeKind::sequence, ev.data.sequence_start.anchor, ev.data.sequence_start.tag);
        return false;
      case YAML_MAPPING_START_EVENT:
        open(ev, NodeKind::mapping, ev.data.mapping_start.anchor, ev.data.mapping_start.tag);
        return false;
      case YAML_SEQUENCE_END_EVENT:
      case YAML_MAPPING_END_EVENT: close(); return false;
      case YAML_ALIAS_EVENT: {
        const Mark at = mark_of(ev.start_mark);
        const auto it = anchors_.find(std::string_view(reinterpret_cast<const char*>(ev.data.alias.anchor)));
        if (it == anchors_.end()) {
          fail("unknown anchor at " + place_text(at));
          return false;
        }
        const NodePtr& target = it->second;
        expansion_ += target->weight;
        if (expansion_ > kMaxAliasExpansion) {
          fail("repetition limit exceeded at " + place_text(at));
          return false;
        }
        if (stack_.size() + target->height > kMaxDepth) {
          fail("recursion limit exceeded at " + place_text(at));
          return false;
        }
        // Shared, not copied: the tree stays as small as the text.
        attach(std::const_pointer_cast<Node>(target), true);
        return false;
      }
      case YAML_NO_EVENT: return true;
    }
    return false;
  }
};

}  // namespace

ParsedTree parse_yaml(std::string_view text) { return YamlBuilder(text).run(); }

}  // namespace quillmere::detail
