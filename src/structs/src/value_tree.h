// One value tree shared by the JSON and YAML readers, with the marks that error
// texts need. A parse that fails part-way leaves a connected partial tree whose
// open containers are flagged incomplete, so the typed reader can report problems
// in document order: anything met before the break first, the break itself after.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillmere::detail {

// 1-based line and column; 0 where nothing has been consumed on the line yet.
struct Mark {
  std::uint64_t line = 0;
  std::uint64_t column = 0;
  bool operator==(const Mark&) const = default;
};

std::string place_text(Mark m);  // "line N column M"

enum class NodeKind : unsigned char { scalar, sequence, mapping };

// What a scalar resolved to.
enum class ScalarClass : unsigned char { null, boolean, integer, floating, string };

struct Node;
using NodePtr = std::shared_ptr<const Node>;

struct Node {
  NodeKind kind = NodeKind::scalar;

  // scalar
  ScalarClass cls = ScalarClass::string;
  std::string text;             // the scalar as written (for strings: the decoded text)
  std::uint64_t uvalue = 0;     // integer: magnitude when it fits
  bool negative = false;        // integer: written with a minus sign (and nonzero)
  bool overflow = false;        // integer: magnitude beyond 64 bits
  bool bvalue = false;          // boolean
  bool plain = false;           // YAML plain style (JSON: false)

  // YAML tag as libyaml resolves it ("!gpu", "tag:yaml.org,2002:int"); empty when none.
  std::string tag;

  std::vector<NodePtr> items;                        // sequence
  std::vector<std::pair<NodePtr, NodePtr>> entries;  // mapping, in document order

  bool complete = true;  // false: the parse broke inside this container
  Mark start;            // first character
  Mark end;              // last character (JSON); equals start where unknown

  // Size in nodes and nesting height; they bound alias expansion.
  std::uint64_t weight = 1;
  std::uint64_t height = 1;
};

// A parsed text: the root (absent when the parse broke before any value) and the
// first failure, which belongs after everything complete in the tree.
struct ParsedTree {
  NodePtr root;
  std::optional<std::string> failure;
};

inline constexpr std::uint64_t kMaxDepth = 128;
inline constexpr std::uint64_t kMaxAliasExpansion = 100000;

ParsedTree parse_json(std::string_view text);
ParsedTree parse_yaml(std::string_view text);

bool valid_utf8(std::string_view s);
// Classifies a YAML plain scalar (core schema plus 0x/0o/0b integers).
void resolve_plain_scalar(Node& n);
// Parses YAML integer text into n (decimal, 0x, 0o, 0b; optional sign); false if not one.
bool parse_yaml_integer(std::string_view text, Node& n);

}  // namespace quillmere::detail
