// Dumping an index into a new directory, and filling a builder from a dumped
// directory or from a YAML configuration file.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <utility>

#include "quillmere/config_reader.h"
#include "quillmere/fd_io.h"
#include "quillmere/index.h"
#include "quillmere/raw_file.h"

namespace quillmere {
namespace {

const char kMetaFile[] = "meta.json";
// meta.json is written under this name and renamed into place last, so a directory
// holding meta.json always holds a complete dump.
const char kMetaTempFile[] = ".meta.json.partial";
// About 17 million buckets: far beyond any index this process could hold.
constexpr std::uint64_t kMaxMetaBytes = std::uint64_t{1} << 30;

// `path` made absolute against the current directory; symbolic links are not resolved.
Result<std::string> absolute_path(const std::string& path) {
  if (path.empty()) return fail(Error::file_operation("cannot make an empty path absolute"));
  if (path.front() == '/') return path;
  std::unique_ptr<char, decltype(&std::free)> cwd(::getcwd(nullptr, 0), &std::free);
  if (!cwd) return fail(file_error("make an absolute path of", path, errno));
  return raw::join_path(cwd.get(), path);
}

Result<void> dump_into(const Index& index, const std::string& dir) {
  DiskIndex disk;
  disk.compaction_strategy = CompactionStrategy{index.compaction_strategy().rebuild_strategy};
  disk.levels_config = index.levels_config();
  disk.buffer_size = index.buffer().size();
  disk.input_shape = index.input_shape();
  disk.arity = index.arity();
  disk.distance_fn = index.distance_fn();
  disk.delete_method = index.delete_method();
  disk.levels.reserve(index.levels().size());
  for (std::uint64_t n = 0; n < index.levels().size(); ++n) {
    auto level = index.levels()[n].dump(dir, n);
    if (!level) return fail(level.error());
    disk.levels.push_back(std::move(*level));
  }
  auto buffer = index.buffer().dump(dir);
  if (!buffer) return fail(buffer.error());
  disk.disk_buffer = std::move(*buffer);

  const std::string temp = raw::join_path(dir, kMetaTempFile);
  if (auto w = write_meta_json_file(temp, disk); !w) {
    ::unlink(temp.c_str());
    return w;
  }
  const std::string meta = raw::join_path(dir, kMetaFile);
  if (::rename(temp.c_str(), meta.c_str()) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    return fail(file_error("rename", temp + " to " + meta, err));
  }
  // Every file was flushed before meta.json named it, and meta.json before its rename; now
  // the names themselves: the directory's entries, then the directory's own entry in its
  // parent, which mkdir made.
  std::string_view trimmed = dir;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.remove_suffix(1);
  const std::string parent(trimmed.substr(0, std::max<std::size_t>(trimmed.find_last_of('/'), 1)));
  for (const std::string* d : {&dir, &parent}) {
    if (const int err = sync_directory(*d); err != 0) return fail(file_error("flush", *d, err));
  }
  return {};
}

// The level number of a file that a dump writes per level ("model-<n>.safetensors",
// "bucket-records-<n>.bin", "bucket-ids-<n>.bin", n in decimal without leading zeros).
std::optional<std::uint64_t> level_file_number(std::string_view name) {
  static constexpr std::pair<std::string_view, std::string_view> kForms[] = {
      {"model-", ".safetensors"}, {"bucket-records-", ".bin"}, {"bucket-ids-", ".bin"}};
  for (const auto& [prefix, suffix] : kForms) {
    if (name.size() <= prefix.size() + suffix.size() || !name.starts_with(prefix) || !name.ends_with(suffix)) continue;
    const std::string_view digits = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    if (digits.size() > 1 && digits.front() == '0') return std::nullopt;
    std::uint64_t n = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
    if (end != digits.data() + digits.size()) return std::nullopt;
    return ec == std::errc::result_out_of_range ? std::numeric_limits<std::uint64_t>::max() : n;
  }
  return std::nullopt;
}

// Every per-level file in the dump's directory must belong to a level that meta.json lists:
// a level cut from the list ("levels": [] at worst) would otherwise vanish with its records.
Result<void> check_level_files(const std::string& dir, const std::string& meta_path, std::uint64_t n_levels) {
  namespace fs = std::filesystem;
  const std::string listed = dir.empty() ? "." : dir;
  std::error_code ec;
  fs::directory_iterator it(listed, ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    const auto n = level_file_number(name);
    if (n && *n >= n_levels)
      return fail(Error::invalid_json(meta_path + " lists " + std::to_string(n_levels) + " levels, but " +
                                      raw::join_path(dir, name) + " belongs to level " + std::to_string(*n)));
  }
  if (ec) return fail(file_error("list", listed, ec.value()));
  return {};
}

}  // namespace

Result<void> Index::dump(const std::string& working_dir) const {
  try {
    auto dir = absolute_path(working_dir);
    if (!dir) return fail(dir.error());
    // Not recursive, and an existing directory is refused before anything is written.
    if (::mkdir(dir->c_str(), 0777) != 0) return fail(file_error("create directory", *dir, errno));
    return dump_into(*this, *dir);
  } catch (const std::bad_alloc&) {
    return fail(Error::out_of_memory("out of memory while dumping the index"));
  }
}

Result<IndexBuilder> IndexBuilder::from_disk(const std::string& dir) {
  try {
    const std::string meta_path = raw::join_path(dir, kMetaFile);
    print_stdout("Loading index metadata from " + meta_path + "\n");
    auto file = raw::open_regular(meta_path);
    if (!file) return fail(file.error());
    print_stdout("Deserializing index metadata...\n");
    // A real meta.json holds a few dozen bytes a bucket; a huge or sparse file would be read
    // until memory runs out, so it is refused before it is read (and bounded while reading).
    auto text = read_to_end(file->fd(), kMaxMetaBytes);
    if (!text && text.error() == EFBIG)
      return fail(Error::file_operation(meta_path + " is larger than the " + std::to_string(kMaxMetaBytes >> 30) +
                                        " GiB a dump's metadata may hold"));
    if (!text) return fail(Error::invalid_json(file_error_text("read", meta_path, text.error())));
    (void)file->close();  // read-only: nothing is lost if closing complains
    auto disk = read_meta_json(*text);
    if (!disk) return fail(disk.error());
    if (auto r = check_level_files(dir, meta_path, disk->levels.size()); !r) return fail(r.error());

    IndexBuilder b;
    b.buffer_size = disk->buffer_size;
    b.input_shape = disk->input_shape;
    b.arity = disk->arity;
    b.device = ModelDevice::cpu();  // the directory records no device
    b.levels = std::move(disk->levels_config);
    b.disk_levels = std::move(disk->levels);
    b.disk_buffer = std::move(disk->disk_buffer);
    b.delete_method = disk->delete_method;
    b.distance_fn = disk->distance_fn;
    b.compaction_strategy = CompactionStrategy{disk->compaction_strategy.rebuild_strategy};
    return b;
  } catch (const std::bad_alloc&) {
    return fail(Error::out_of_memory("out of memory while reading index metadata"));
  }
}

Result<IndexBuilder> IndexBuilder::from_yaml(const std::string& path) {
  try {
    auto config = read_index_config_yaml_file(path);
    if (!config) return fail(config.error());
    IndexBuilder b;
    b.buffer_size = config->buffer_size;
    b.input_shape = config->input_shape;
    b.arity = config->arity;
    b.device = config->device;
    b.levels = std::move(config->levels);
    b.distance_fn = config->distance_fn;
    b.compaction_strategy = config->compaction_strategy;
    b.delete_method = config->delete_method;
    return b;
  } catch (const std::bad_alloc&) {
    return fail(Error::out_of_memory("out of memory while reading the YAML configuration"));
  }
}

}  // namespace quillmere
