// meta.json: a compact writer of our own (exact bytes, no exceptions) and the
// tolerant reader over the shared value tree.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "quillmere/disk.h"
#include "quillmere/text_forms.h"
#include "typed_reader.h"
#include "value_tree.h"

namespace quillmere {

namespace {

class JsonWriter {
 public:
  std::string out;
  bool bad_path = false;

  void raw(std::string_view s) { out += s; }
  void key(std::string_view k) {
    string(k);
    out += ':';
  }
  void number(std::uint64_t v) { out += std::to_string(v); }
  void string(std::string_view s) {
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
  void path(std::string_view p) {
    if (!detail::valid_utf8(p)) bad_path = true;
    string(p);
  }

  void compaction(const CompactionStrategy& c) {
    raw("{");
    key("type");
    string("bentley_saxe");
    raw(",");
    key("rebuild_strategy");
    string(to_text(c.rebuild_strategy));
    raw("}");
  }
  void layer(const ModelLayer& l) {
    raw("{");
    key("type");
    if (l.kind == ModelLayer::Kind::linear) {
      string("linear");
      raw(",");
      key("value");
      number(l.width);
    } else {
      string("relu");
    }
    raw("}");
  }
  void train_params(const TrainParams& t) {
    raw("{");
    key("threshold_samples");
    number(t.threshold_samples);
    raw(",");
    key("batch_size");
    number(t.batch_size);
    raw(",");
    key("epochs");
    number(t.epochs);
    raw(",");
    key("max_iters");
    number(t.max_iters);
    raw(",");
    key("retrain_strategy");
    string(to_text(t.retrain_strategy));
    raw("}");
  }
  void model(const ModelConfig& m) {
    raw("{");
    key("layers");
    raw("[");
    for (std::size_t i = 0; i < m.layers.size(); ++i) {
      if (i) raw(",");
      layer(m.layers[i]);
    }
    raw("],");
    key("train_params");
    train_params(m.train_params);
    raw(",");
    key("weights_path");
    if (m.weights_path) path(*m.weights_path);
    else raw("null");
    raw("}");
  }
  void level_config(const LevelIndexConfig& c) {
    raw("{");
    key("model");
    model(c.model);
    raw(",");
    key("bucket_size");
    number(c.bucket_size);
    raw("}");
  }
  void bucket(const DiskBucket& b) {
    raw("{");
    key("records_offset");
    number(b.records_offset);
    raw(",");
    key("ids_offset");
    number(b.ids_offset);
    raw(",");
    key("count");
    number(b.count);
    raw("}");
  }
  void level(const DiskLevelIndex& l) {
    raw("{");
    key("records_path");
    path(l.records_path);
    raw(",");
    key("ids_path");
    path(l.ids_path);
    raw(",");
    key("buckets");
    raw("[");
    for (std::size_t i = 0; i < l.buckets.size(); ++i) {
      if (i) raw(",");
      bucket(l.buckets[i]);
    }
    raw("],");
    key("config");
    level_config(l.config);
    raw("}");
  }
  void buffer(const DiskBuffer& b) {
    raw("{");
    key("records_path");
    path(b.records_path);
    raw(",");
    key("ids_path");
    path(b.ids_path);
    raw(",");
    key("count");
    number(b.count);
    raw("}");
  }
  void index(const DiskIndex& d) {
    raw("{");
    key("compaction_strategy");
    compaction(d.compaction_strategy);
    raw(",");
    key("levels_config");
    level_config(d.levels_config);
    raw(",");
    key("buffer_size");
    number(d.buffer_size);
    raw(",");
    key("input_shape");
    number(d.input_shape);
    raw(",");
    key("arity");
    number(d.arity);
    raw(",");
    key("distance_fn");
    string(to_text(d.distance_fn));
    raw(",");
    key("delete_method");
    string(to_text(d.delete_method));
    raw(",");
    key("levels");
    raw("[");
    for (std::size_t i = 0; i < d.levels.size(); ++i) {
      if (i) raw(",");
      level(d.levels[i]);
    }
    raw("],");
    key("disk_buffer");
    buffer(d.disk_buffer);
    raw("}");
  }
};

}  // namespace

Result<std::string> write_meta_json(const DiskIndex& disk) {
  try {
    JsonWriter w;
    w.index(disk);
    if (w.bad_path) return fail(Error::invalid_json("path contains invalid UTF-8 characters"));
    return std::move(w.out);
  } catch (const std::bad_alloc&) {
    return fail(Error::out_of_memory("out of memory while writing index metadata"));
  }
}

Result<void> write_meta_json_file(const std::string& path, const DiskIndex& disk) {
  // The text is made first, so a bad path leaves no half-written file behind.
  auto text = write_meta_json(disk);
  if (!text) return fail(text.error());
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return fail(Error::file_operation(os_error_text(errno)));
  std::string_view rest = *text;
  while (!rest.empty()) {
    const ssize_t n = ::write(fd, rest.data(), rest.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      return fail(Error::invalid_json(os_error_text(err)));
    }
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
  if (::close(fd) != 0) return fail(Error::invalid_json(os_error_text(errno)));
  return {};
}

Result<DiskIndex> read_meta_json(std::string_view text) {
  try {
    const detail::ParsedTree tree = detail::parse_json(text);
    auto disk = detail::disk_index_from_json_tree(tree);
    if (!disk) return fail(Error::invalid_json(std::move(disk.error())));
    return std::move(*disk);
  } catch (const std::bad_alloc&) {
    return fail(Error::out_of_memory("out of memory while reading index metadata"));
  }
}

}  // namespace quillmere
