// A whole load of a dumped index directory: from_disk reads meta.json, build reads the raw
// record and id files and the weights files it names. The input packs the directory's files,
// separated by the part marker, in the order of kFiles; "@DIR@" in meta.json stands for the
// directory, so the recorded absolute paths lead into it. Whatever loads is then searched,
// and, when its configuration keeps training cheap, deleted from and inserted into.
// "@DIR@/fifo" and "@DIR@/dir" (also with the extensions .safetensors and .pt) name a FIFO and
// a directory, on which no load may hang.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "quillmere/index.h"
#include "quillmere/pool.h"

namespace {

const char* const kFiles[] = {
    "meta.json",           "buffer_records.bin", "buffer_ids.bin",       "bucket-records-0.bin",
    "bucket-ids-0.bin",    "model-0.safetensors", "bucket-records-1.bin", "bucket-ids-1.bin",
    "model-1.safetensors",
};
constexpr std::size_t kNumFiles = sizeof kFiles / sizeof kFiles[0];

std::string with_dir(std::string_view text, const std::string& dir) {
  std::string out;
  out.reserve(text.size());
  while (true) {
    const auto at = text.find("@DIR@");
    out.append(text.substr(0, at));
    if (at == std::string_view::npos) return out;
    out += dir;
    text.remove_prefix(at + 5);
  }
}

// Training stays within milliseconds: the fuzzer looks for crashes, not for slow settings.
bool cheap_level(const quillmere::LevelIndexConfig& c) {
  const auto& t = c.model.train_params;
  if (t.epochs > 4 || t.max_iters > 16 || t.threshold_samples > 4096 || t.batch_size > 4096) return false;
  if (c.model.layers.size() > 4 || c.bucket_size > 4096) return false;
  for (const auto& l : c.model.layers)
    if (l.kind == quillmere::ModelLayer::Kind::linear && l.width > 64) return false;
  return true;
}

bool cheap(const quillmere::IndexBuilder& b) {
  if (*b.input_shape > 64 || *b.arity > 4 || *b.buffer_size > 4096 || !cheap_level(b.levels)) return false;
  if (b.disk_levels) {
    if (b.disk_levels->size() > 3) return false;
    for (const auto& l : *b.disk_levels)
      if (!cheap_level(l.config)) return false;
  }
  return true;
}

std::vector<std::uint32_t> some_ids(std::string_view bytes) {
  std::vector<std::uint32_t> ids;
  for (std::size_t i = 0; i + 4 <= bytes.size() && ids.size() < 3; i += 4) {
    std::uint32_t id;
    std::memcpy(&id, bytes.data() + i, 4);
    ids.push_back(id);
  }
  return ids;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  (void)quillmere::pool::set_thread_count(1);
  qmfuzz::silence_stdout();
  qmfuzz::make_traps();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillmere;
  const std::string& dir = qmfuzz::scratch_dir();
  const auto parts = qmfuzz::split_parts(qmfuzz::as_text(data, size), kNumFiles);
  for (std::size_t i = 0; i < kNumFiles; ++i) {
    const std::string path = qmfuzz::scratch_path(kFiles[i]);
    if (i < parts.size()) {
      qmfuzz::write_file(path, i == 0 ? with_dir(parts[0], dir) : std::string(parts[i]));
    } else {
      ::unlink(path.c_str());
    }
  }

  auto builder = IndexBuilder::from_disk(dir);
  if (!builder) {
    qmfuzz::note("from_disk", builder.error().message());
    if (!builder.error().is_index_error()) __builtin_trap();
    return 0;
  }
  auto index = builder->build();
  if (!index) {
    qmfuzz::note("build", index.error().message());
    return 0;
  }
  qmfuzz::note("loaded", std::to_string(index->n_levels()) + " levels, " + std::to_string(index->occupied()) + " records");

  const bool train_ok = cheap(*builder);
  if (index->input_shape() > (1u << 16)) return 0;
  std::vector<float> query(index->input_shape(), 0.25f);
  for (std::uint64_t n_candidates : {std::uint64_t{30000}, std::uint64_t{1}}) {
    SearchParams params;
    params.n_candidates = n_candidates;
    params.k = 3;
    auto found = index->search(query, params);
    if (found && found->size() > 3) __builtin_trap();
  }
  (void)index->memory_usage();
  if (!train_ok && index->compaction_strategy().rebuild_strategy != RebuildStrategy::no_rebuild) return 0;

  std::vector<std::uint32_t> ids = {0xFFFFFFFFu};
  for (std::size_t i : {2u, 4u, 7u})
    if (i < parts.size())
      for (auto id : some_ids(parts[i])) ids.push_back(id);
  for (auto id : ids) {
    const auto before = index->occupied();
    auto removed = index->remove(id);
    if (removed && *removed) {
      if ((*removed)->id != id || (*removed)->record.size() != index->input_shape()) __builtin_trap();
      if (index->occupied() + 1 != before) __builtin_trap();
    }
  }
  if (!train_ok) return 0;
  for (std::uint32_t id : {7u, 8u}) {
    std::vector<float> record(index->input_shape(), static_cast<float>(id));
    (void)index->insert(std::move(record), id);
  }
  auto found = index->search(query, SearchParams{});
  if (found && found->size() > 10) __builtin_trap();
  return 0;
}
