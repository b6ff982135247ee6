// meta.json: a compact writer of our own (exact bytes, no exceptions) and the
// tolerant reader over the shared value tree.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "quillmere/disk.h"
#include "quillmere/fd_io.h"
#include "quillmere/text_forms.h"
#include "json_string.h"
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
  void string(std::string_view s) { detail::append_json_string(out, s); }
  void path(std::string_view p) {
    if (!detail::valid_utf8(p)) bad_path = true;
    string(p);
  }

  // `{`, the members written by `members(member)`, `}`; `member(k)` writes the
  // separating comma and the key.
  template <class F>
  void object(F&& members) {
    raw("{");
    bool first = true;
    auto member = [&](std::string_view k) {
      if (!first) raw(",");
      first = false;
      key(k);
    };
    members(member);
    raw("}");
  }
  template <class T, class F>
  void array(const std::vector<T>& items, F&& item) {
    raw("[");
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (i) raw(",");
      item(items[i]);
    }
    raw("]");
  }

  void compaction(const CompactionStrategy& c) {
    object([&](auto member) {
      member("type");
      string(kCompactionStrategyNames[0]);
      member("rebuild_strategy");
      string(to_text(c.rebuild_strategy));
    });
  }
  void layer(const ModelLayer& l) {
    object([&](auto member) {
      member("type");
      string(kModelLayerNames[static_cast<std::size_t>(l.kind)]);
      if (l.kind == ModelLayer::Kind::linear) {
        member("value");
        number(l.width);
      }
    });
  }
  void train_params(const TrainParams& t) {
    object([&](auto member) {
      member("threshold_samples");
      number(t.threshold_samples);
      member("batch_size");
      number(t.batch_size);
      member("epochs");
      number(t.epochs);
      member("max_iters");
      number(t.max_iters);
      member("retrain_strategy");
      string(to_text(t.retrain_strategy));
    });
  }
  void model(const ModelConfig& m) {
    object([&](auto member) {
      member("layers");
      array(m.layers, [&](const ModelLayer& l) { layer(l); });
      member("train_params");
      train_params(m.train_params);
      member("weights_path");
      if (m.weights_path) path(*m.weights_path);
      else raw("null");
    });
  }
  void level_config(const LevelIndexConfig& c) {
    object([&](auto member) {
      member("model");
      model(c.model);
      member("bucket_size");
      number(c.bucket_size);
    });
  }
  void bucket(const DiskBucket& b) {
    object([&](auto member) {
      member("records_offset");
      number(b.records_offset);
      member("ids_offset");
      number(b.ids_offset);
      member("count");
      number(b.count);
    });
  }
  void level(const DiskLevelIndex& l) {
    object([&](auto member) {
      member("records_path");
      path(l.records_path);
      member("ids_path");
      path(l.ids_path);
      member("buckets");
      array(l.buckets, [&](const DiskBucket& b) { bucket(b); });
      member("config");
      level_config(l.config);
    });
  }
  void buffer(const DiskBuffer& b) {
    object([&](auto member) {
      member("records_path");
      path(b.records_path);
      member("ids_path");
      path(b.ids_path);
      member("count");
      number(b.count);
    });
  }
  void index(const DiskIndex& d) {
    object([&](auto member) {
      member("compaction_strategy");
      compaction(d.compaction_strategy);
      member("levels_config");
      level_config(d.levels_config);
      member("buffer_size");
      number(d.buffer_size);
      member("input_shape");
      number(d.input_shape);
      member("arity");
      number(d.arity);
      member("distance_fn");
      string(to_text(d.distance_fn));
      member("delete_method");
      string(to_text(d.delete_method));
      member("levels");
      array(d.levels, [&](const DiskLevelIndex& l) { level(l); });
      member("disk_buffer");
      buffer(d.disk_buffer);
    });
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
  if (fd < 0) return fail(file_error("create", path, errno));
  // Flushed before the caller renames it into place: the name must never reach the disk
  // before the text.
  int err = write_all(fd, *text);
  if (err == 0) err = sync_fd(fd);
  if (err != 0) {
    ::close(fd);
    return fail(Error::invalid_json(file_error_text("write", path, err)));
  }
  if (::close(fd) != 0) return fail(Error::invalid_json(file_error_text("write", path, errno)));
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
