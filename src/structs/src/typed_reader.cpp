// The keyed form of the configuration and meta.json records, read from a value
// tree. Problems are reported in document order: a record's entries are visited in
// the order they were written, a missing key only when its record ends, and the
// parse failure behind an incomplete container only when reading reaches it.
#include "typed_reader.h"

#include <array>
#include <span>
#include <string_view>
#include <vector>

#include "quillmere/text_forms.h"
#include "json_string.h"

namespace quillmere::detail {

namespace {

template <class T>
using R = std::expected<T, std::string>;
using Fail = std::unexpected<std::string>;

constexpr std::string_view kCoreTag = "tag:yaml.org,2002:";

enum class Dialect : unsigned char { json, yaml };

struct Field {
  std::string_view name;
  bool required = true;
};

std::string describe(const Node& n) {
  switch (n.kind) {
    case NodeKind::mapping: return "map";
    case NodeKind::sequence: return "sequence";
    case NodeKind::scalar: break;
  }
  switch (n.cls) {
    case ScalarClass::null: return "null";
    case ScalarClass::boolean: return n.bvalue ? "boolean `true`" : "boolean `false`";
    case ScalarClass::integer: {
      if (n.overflow) {
        std::string_view t = n.text;
        if (t.starts_with('+')) t.remove_prefix(1);
        return "integer `" + std::string(t) + "`";
      }
      return std::string("integer `") + (n.negative ? "-" : "") + std::to_string(n.uvalue) + "`";
    }
    case ScalarClass::floating: return "floating point `" + n.text + "`";
    case ScalarClass::string: return "string " + json_string(n.text);
  }
  return "value";
}

std::string one_of(std::span<const std::string_view> names) {
  auto q = [](std::string_view s) { return "`" + std::string(s) + "`"; };
  if (names.size() == 1) return q(names[0]);
  if (names.size() == 2) return q(names[0]) + " or " + q(names[1]);
  std::string out = "one of ";
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i) out += ", ";
    out += q(names[i]);
  }
  return out;
}

std::string child_path(const std::string& path, std::string_view key) {
  return path.empty() ? std::string(key) : path + "." + std::string(key);
}
std::string index_path(const std::string& path, std::size_t i) { return path + "[" + std::to_string(i) + "]"; }

struct AdjacentSpec {
  std::string_view description;  // "adjacently tagged enum ModelLayer"
  std::span<const std::string_view> variants;
  std::string_view content_key;
  std::span<const bool> content_required;
};

class Reader {
 public:
  Reader(Dialect d, const std::optional<std::string>& failure) : d_(d), failure_(failure) {}

  bool yaml() const { return d_ == Dialect::yaml; }

  std::string fmt(const std::string& path, const std::string& msg, Mark m) const {
    if (!yaml()) return msg + " at " + place_text(m);
    std::string out = path.empty() ? msg : path + ": " + msg;
    if (m.line != 0) out += " at " + place_text(m);
    return out;
  }

  Fail broken() const { return Fail(failure_ ? *failure_ : std::string("EOF while parsing a value")); }

  // Where reading stands when a node is rejected: YAML names the node's start; JSON
  // the last character read (a scalar's end, a container's opening bracket).
  Mark at(const Node& n) const { return yaml() || n.kind != NodeKind::scalar ? n.start : n.end; }
  // Where a container's end is noticed.
  Mark at_close(const Node& n) const { return yaml() ? n.start : n.end; }

  bool local_tag(const Node& n) const { return yaml() && !n.tag.empty() && !n.tag.starts_with(kCoreTag); }

  std::string describe_any(const Node& n) const {
    if (local_tag(n)) return "tagged value `" + n.tag + "`";
    return describe(n);
  }

  Fail invalid_type(const Node& n, const std::string& path, std::string_view wanted) const {
    return Fail(fmt(path, "invalid type: " + describe_any(n) + ", expected " + std::string(wanted), at(n)));
  }

  bool is_null(const Node& n) const {
    return n.kind == NodeKind::scalar && n.cls == ScalarClass::null && !local_tag(n);
  }

  // An empty plain value stands for an empty mapping where a record is wanted.
  bool empty_plain(const Node& n) const {
    return yaml() && n.kind == NodeKind::scalar && n.plain && n.text.empty() && n.tag.empty();
  }

  R<std::uint64_t> u64(const Node& n, const std::string& path, bool tag_read = false) const {
    if (!tag_read && local_tag(n)) return invalid_type(n, path, "usize");
    if (n.kind == NodeKind::scalar && n.cls == ScalarClass::integer) {
      if (n.negative || n.overflow)
        return Fail(fmt(path, "invalid value: " + describe(n) + ", expected usize", at(n)));
      return n.uvalue;
    }
    return Fail(fmt(path, "invalid type: " + describe(n) + ", expected usize", at(n)));
  }

  R<std::size_t> identifier(const Node& n, const std::string& path, std::span<const std::string_view> names) const {
    std::string text;
    if (!yaml()) {
      if (n.kind != NodeKind::scalar || n.cls != ScalarClass::string) return invalid_type(n, path, "variant identifier");
      text = n.text;
    } else {
      if (n.kind != NodeKind::scalar) return invalid_type(n, path, "variant identifier");
      if (local_tag(n)) {
        // A unit variant written as a tag on an empty value.
        if (n.cls != ScalarClass::null)
          return Fail(fmt(path, "invalid type: " + describe(n) + ", expected unit variant", at(n)));
        text = n.tag.starts_with('!') ? n.tag.substr(1) : n.tag;
      } else {
        text = n.text;
      }
    }
    for (std::size_t i = 0; i < names.size(); ++i)
      if (names[i] == text) return i;
    return Fail(fmt(path, "unknown variant `" + text + "`, expected " + one_of(names), at(n)));
  }

  R<std::string_view> key_text(const Node& k, const std::string& path) const {
    if (k.kind != NodeKind::scalar || (!yaml() && k.cls != ScalarClass::string))
      return invalid_type(k, path, "field identifier");
    return std::string_view(k.text);
  }

  R<std::string> path_text(const Node& n, const std::string& path) const {
    if (n.kind != NodeKind::scalar || local_tag(n) || (!yaml() && n.cls != ScalarClass::string))
      return invalid_type(n, path, "a path string");
    // A NUL would silently cut the path short when the file is opened.
    if (n.text.find('\0') != std::string::npos)
      return Fail(fmt(path, "invalid value: " + describe(n) + ", expected a path without NUL characters", at(n)));
    return n.text;
  }

  R<std::optional<std::string>> optional_path(const Node& n, const std::string& path) const {
    if (is_null(n)) return std::optional<std::string>();
    auto p = path_text(n, path);
    if (!p) return Fail(p.error());
    return std::optional<std::string>(std::move(*p));
  }

  template <class F>
  R<void> record(const Node& n, const std::string& path, std::string_view name, std::span<const Field> fields,
                 F&& on_field) const {
    const std::string wanted = "struct " + std::string(name);
    if (local_tag(n)) return invalid_type(n, path, wanted);
    auto missing = [&](Mark m, const std::vector<bool>& seen) -> R<void> {
      for (std::size_t i = 0; i < fields.size(); ++i)
        if (!seen[i] && fields[i].required)
          return Fail(fmt(path, "missing field `" + std::string(fields[i].name) + "`", m));
      return {};
    };
    std::vector<bool> seen(fields.size(), false);
    if (n.kind == NodeKind::mapping) {
      for (const auto& [k, v] : n.entries) {
        auto key = key_text(*k, path);
        if (!key) return Fail(key.error());
        std::size_t i = 0;
        while (i < fields.size() && fields[i].name != *key) ++i;
        if (i == fields.size()) continue;  // unknown keys are skipped with their value
        if (seen[i]) return Fail(fmt(path, "duplicate field `" + std::string(*key) + "`", at(*k)));
        seen[i] = true;
        if (auto r = on_field(i, *v, child_path(path, fields[i].name)); !r) return r;
      }
      if (!n.complete) return broken();
      return missing(at_close(n), seen);
    }
    if (empty_plain(n)) return missing(n.start, seen);
    if (!yaml() && n.kind == NodeKind::sequence) {
      auto length_error = [&](Mark m) {
        return Fail(fmt(path,
                        "invalid length " + std::to_string(n.items.size()) + ", expected " + wanted + " with " +
                            std::to_string(fields.size()) + " elements",
                        m));
      };
      for (std::size_t i = 0; i < n.items.size(); ++i) {
        if (i >= fields.size()) {
          if (!n.complete) return broken();
          return length_error(n.items[i]->start);
        }
        if (auto r = on_field(i, *n.items[i], index_path(path, i)); !r) return r;
      }
      if (!n.complete) return broken();
      if (n.items.size() < fields.size()) return length_error(n.end);
      return {};
    }
    return invalid_type(n, path, wanted);
  }

  // `content(variant, node or nullptr, path)` runs as soon as both tag and content are known.
  template <class F>
  R<void> adjacent(const Node& n, const std::string& path, const AdjacentSpec& form, F&& content) const {
    if (local_tag(n)) return invalid_type(n, path, form.description);
    const std::string content_path = child_path(path, form.content_key);
    auto missing = [&](std::string_view key, Mark m) {
      return Fail(fmt(path, "missing field `" + std::string(key) + "`", m));
    };
    if (n.kind == NodeKind::mapping || empty_plain(n)) {
      std::optional<std::size_t> tag;
      const Node* body = nullptr;
      bool body_seen = false;
      for (const auto& [k, v] : n.entries) {
        auto key = key_text(*k, path);
        if (!key) return Fail(key.error());
        if (*key == "type") {
          if (tag) return Fail(fmt(path, "duplicate field `type`", at(*k)));
          auto t = identifier(*v, child_path(path, "type"), form.variants);
          if (!t) return Fail(t.error());
          tag = *t;
          if (body_seen)
            if (auto r = content(*tag, body, content_path); !r) return r;
        } else if (*key == form.content_key) {
          if (body_seen) return Fail(fmt(path, "duplicate field `" + std::string(*key) + "`", at(*k)));
          body_seen = true;
          body = v.get();
          if (tag)
            if (auto r = content(*tag, body, content_path); !r) return r;
        }
      }
      if (!n.complete) return broken();
      const Mark end = n.kind == NodeKind::mapping ? at_close(n) : n.start;
      if (!tag) return missing("type", end);
      if (!body_seen) {
        if (form.content_required[*tag]) return missing(form.content_key, end);
        return content(*tag, nullptr, content_path);
      }
      return {};
    }
    if (!yaml() && n.kind == NodeKind::sequence) {
      auto length_error = [&](Mark m) {
        return Fail(fmt(path,
                        "invalid length " + std::to_string(n.items.size()) + ", expected " +
                            std::string(form.description),
                        m));
      };
      if (n.items.empty()) return n.complete ? length_error(n.end) : broken();
      auto t = identifier(*n.items[0], index_path(path, 0), form.variants);
      if (!t) return Fail(t.error());
      if (n.items.size() >= 2)
        if (auto r = content(*t, n.items[1].get(), index_path(path, 1)); !r) return r;
      if (n.items.size() > 2) return n.complete ? length_error(n.items[2]->start) : broken();
      if (!n.complete) return broken();
      if (n.items.size() == 1) {
        if (form.content_required[*t]) return length_error(n.end);
        return content(*t, nullptr, index_path(path, 1));
      }
      return {};
    }
    return invalid_type(n, path, form.description);
  }

  template <class F>
  R<void> sequence(const Node& n, const std::string& path, F&& item) const {
    if (n.kind != NodeKind::sequence || local_tag(n)) return invalid_type(n, path, "a sequence");
    for (std::size_t i = 0; i < n.items.size(); ++i)
      if (auto r = item(i, *n.items[i], index_path(path, i)); !r) return r;
    if (!n.complete) return broken();
    return {};
  }

  // A sequence read into `out`, each item by `element(node, path, T&)`.
  template <class T, class F>
  R<void> list(const Node& n, const std::string& path, std::vector<T>& out, F&& element) const {
    out.clear();
    return sequence(n, path, [&](std::size_t, const Node& item, const std::string& ip) -> R<void> {
      T value{};
      if (auto r = element(item, ip, value); !r) return r;
      out.push_back(std::move(value));
      return {};
    });
  }

  // An unsigned integer stored into `out`.
  R<void> size(const Node& n, const std::string& path, std::uint64_t& out) const {
    auto x = u64(n, path);
    if (!x) return Fail(x.error());
    out = *x;
    return {};
  }

  // A path stored into `out`.
  R<void> file_path(const Node& n, const std::string& path, std::string& out) const {
    auto s = path_text(n, path);
    if (!s) return Fail(s.error());
    out = std::move(*s);
    return {};
  }

  // A unit variant named by `names`, stored as the enumeration value of its position.
  template <class E>
  R<void> enumerated(const Node& n, const std::string& path, std::span<const std::string_view> names,
                     E& out) const {
    auto v = identifier(n, path, names);
    if (!v) return Fail(v.error());
    out = static_cast<E>(*v);
    return {};
  }

  // ---- the records ----

  R<void> compaction(const Node& n, const std::string& path, CompactionStrategy& out) const {
    static constexpr std::array<bool, 1> required{true};
    const AdjacentSpec form{"adjacently tagged enum CompactionStrategy", kCompactionStrategyNames,
                            "rebuild_strategy", required};
    return adjacent(n, path, form, [&](std::size_t, const Node* body, const std::string& p) -> R<void> {
      return enumerated(*body, p, kRebuildStrategyNames, out.rebuild_strategy);
    });
  }

  R<void> layer(const Node& n, const std::string& path, ModelLayer& out) const {
    static constexpr std::array<bool, 2> required{true, false};
    const AdjacentSpec form{"adjacently tagged enum ModelLayer", kModelLayerNames, "value", required};
    return adjacent(n, path, form, [&](std::size_t variant, const Node* body, const std::string& p) -> R<void> {
      if (variant == 0) {
        auto w = u64(*body, p);
        if (!w) return Fail(w.error());
        out = ModelLayer::linear(*w);
        return {};
      }
      if (body && !is_null(*body))
        return Fail(fmt(p, "invalid type: " + describe_any(*body) + ", expected unit variant ModelLayer::ReLU",
                        at(*body)));
      out = ModelLayer::relu();
      return {};
    });
  }

  R<void> train_params(const Node& n, const std::string& path, TrainParams& out) const {
    static constexpr std::array<Field, 5> fields{
        {{"threshold_samples"}, {"batch_size"}, {"epochs"}, {"max_iters"}, {"retrain_strategy"}}};
    return record(n, path, "TrainParams", fields, [&](std::size_t i, const Node& v, const std::string& p) -> R<void> {
      if (i == 4) return enumerated(v, p, kRetrainStrategyNames, out.retrain_strategy);
      return size(v, p, i == 0 ? out.threshold_samples : i == 1 ? out.batch_size : i == 2 ? out.epochs : out.max_iters);
    });
  }

  R<void> model_config(const Node& n, const std::string& path, ModelConfig& out) const {
    static constexpr std::array<Field, 3> fields{{{"layers"}, {"train_params"}, {"weights_path", false}}};
    out.weights_path.reset();
    return record(n, path, "ModelConfig", fields, [&](std::size_t i, const Node& v, const std::string& p) -> R<void> {
      if (i == 0)
        return list(v, p, out.layers, [&](const Node& item, const std::string& ip, ModelLayer& l) {
          return layer(item, ip, l);
        });
      if (i == 1) return train_params(v, p, out.train_params);
      auto w = optional_path(v, p);
      if (!w) return Fail(w.error());
      out.weights_path = std::move(*w);
      return {};
    });
  }

  R<void> level_config(const Node& n, const std::string& path, LevelIndexConfig& out) const {
    static constexpr std::array<Field, 2> fields{{{"model"}, {"bucket_size"}}};
    return record(n, path, "LevelIndexConfig", fields,
                  [&](std::size_t i, const Node& v, const std::string& p) -> R<void> {
                    if (i == 0) return model_config(v, p, out.model);
                    return size(v, p, out.bucket_size);
                  });
  }

  // Externally tagged, YAML only: cpu as a plain name, a GPU as `!gpu <number>`.
  R<void> device(const Node& n, const std::string& path, ModelDevice& out) const {
    const std::string_view cpu = kModelDeviceNames[0], gpu = kModelDeviceNames[1];
    if (local_tag(n)) {
      const std::string name = n.tag.starts_with('!') ? n.tag.substr(1) : n.tag;
      if (name == gpu) {
        auto x = u64(n, path, true);
        if (!x) return Fail(x.error());
        out = ModelDevice::gpu(*x);
        return {};
      }
      if (name == cpu) {
        if (n.kind != NodeKind::scalar || n.cls != ScalarClass::null)
          return Fail(fmt(path, "invalid type: " + describe(n) + ", expected unit variant", at(n)));
        out = ModelDevice::cpu();
        return {};
      }
      return Fail(fmt(path, "unknown variant `" + name + "`, expected " + one_of(kModelDeviceNames), at(n)));
    }
    if (n.kind != NodeKind::scalar) return invalid_type(n, path, "a YAML tag starting with '!'");
    if (n.text == cpu) {
      out = ModelDevice::cpu();
      return {};
    }
    if (n.text == gpu) return Fail(fmt(path, "invalid type: unit variant, expected newtype variant", at(n)));
    return Fail(fmt(path, "unknown variant `" + n.text + "`, expected " + one_of(kModelDeviceNames), at(n)));
  }

  R<void> index_config(const Node& n, IndexConfig& out) const {
    static constexpr std::array<Field, 8> fields{{{"compaction_strategy"},
                                                  {"levels"},
                                                  {"buffer_size"},
                                                  {"input_shape"},
                                                  {"arity"},
                                                  {"device"},
                                                  {"distance_fn"},
                                                  {"delete_method"}}};
    return record(n, "", "IndexConfig", fields, [&](std::size_t i, const Node& v, const std::string& p) -> R<void> {
      switch (i) {
        case 0: return compaction(v, p, out.compaction_strategy);
        case 1: return level_config(v, p, out.levels);
        case 5: return device(v, p, out.device);
        case 6: return enumerated(v, p, kDistanceFnNames, out.distance_fn);
        case 7: return enumerated(v, p, kDeleteMethodNames, out.delete_method);
        default: return size(v, p, i == 2 ? out.buffer_size : i == 3 ? out.input_shape : out.arity);
      }
    });
  }

  R<void> disk_bucket(const Node& n, const std::string& path, DiskBucket& out) const {
    static constexpr std::array<Field, 3> fields{{{"records_offset"}, {"ids_offset"}, {"count"}}};
    return record(n, path, "DiskBucket", fields, [&](std::size_t i, const Node& v, const std::string& p) -> R<void> {
      return size(v, p, i == 0 ? out.records_offset : i == 1 ? out.ids_offset : out.count);
    });
  }

  R<void> disk_buffer(const Node& n, const std::string& path, DiskBuffer& out) const {
    static constexpr std::array<Field, 3> fields{{{"records_path"}, {"ids_path"}, {"count"}}};
    return record(n, path, "DiskBuffer", fields, [&](std::size_t i, const Node& v, const std::string& p) -> R<void> {
      if (i == 2) return size(v, p, out.count);
      return file_path(v, p, i == 0 ? out.records_path : out.ids_path);
    });
  }

  R<void> disk_level(const Node& n, const std::string& path, DiskLevelIndex& out) const {
    static constexpr std::array<Field, 4> fields{{{"records_path"}, {"ids_path"}, {"buckets"}, {"config"}}};
    return record(n, path, "DiskLevelIndex", fields,
                  [&](std::size_t i, const Node& v, const std::string& p) -> R<void> {
                    if (i == 2) {
                      auto r = list(v, p, out.buckets, [&](const Node& item, const std::string& ip, DiskBucket& b) {
                        return disk_bucket(item, ip, b);
                      });
                      if (!r) return r;
                      // A level without buckets would need a classifier with no output.
                      if (out.buckets.empty())
                        return Fail(fmt(p, "invalid length 0, expected a level with at least one bucket",
                                        at_close(v)));
                      return {};
                    }
                    if (i == 3) return level_config(v, p, out.config);
                    return file_path(v, p, i == 0 ? out.records_path : out.ids_path);
                  });
  }

  R<void> disk_index(const Node& n, DiskIndex& out) const {
    static constexpr std::array<Field, 9> fields{{{"compaction_strategy"},
                                                  {"levels_config"},
                                                  {"buffer_size"},
                                                  {"input_shape"},
                                                  {"arity"},
                                                  {"distance_fn"},
                                                  {"delete_method"},
                                                  {"levels"},
                                                  {"disk_buffer"}}};
    return record(n, "", "DiskIndex", fields, [&](std::size_t i, const Node& v, const std::string& p) -> R<void> {
      switch (i) {
        case 0: return compaction(v, p, out.compaction_strategy);
        case 1: return level_config(v, p, out.levels_config);
        case 5: return enumerated(v, p, kDistanceFnNames, out.distance_fn);
        case 6: return enumerated(v, p, kDeleteMethodNames, out.delete_method);
        case 7:
          return list(v, p, out.levels, [&](const Node& item, const std::string& ip, DiskLevelIndex& level) {
            return disk_level(item, ip, level);
          });
        case 8: return disk_buffer(v, p, out.disk_buffer);
        default: return size(v, p, i == 2 ? out.buffer_size : i == 3 ? out.input_shape : out.arity);
      }
    });
  }

 private:
  Dialect d_;
  const std::optional<std::string>& failure_;
};

}  // namespace

namespace {

// The record at the root of `tree`; a parse failure after it still fails the read.
template <class T>
R<T> from_tree(const ParsedTree& tree, Dialect dialect, R<void> (Reader::*read)(const Node&, T&) const) {
  if (!tree.root) return Fail(tree.failure ? *tree.failure : std::string("EOF while parsing a value"));
  Reader reader(dialect, tree.failure);
  T out;
  if (auto r = (reader.*read)(*tree.root, out); !r) return Fail(r.error());
  if (tree.failure) return Fail(*tree.failure);
  return out;
}

}  // namespace

std::expected<IndexConfig, std::string> index_config_from_yaml_tree(const ParsedTree& tree) {
  return from_tree(tree, Dialect::yaml, &Reader::index_config);
}

std::expected<DiskIndex, std::string> disk_index_from_json_tree(const ParsedTree& tree) {
  return from_tree(tree, Dialect::json, &Reader::disk_index);
}

}  // namespace quillmere::detail
