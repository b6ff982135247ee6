// Writing a level into an index directory and reading its buckets back.
#include <new>
#include <stdexcept>
#include <tuple>

#include "quillmere/interrupt.h"
#include "quillmere/level_index.h"
#include "quillmere/raw_file.h"

namespace quillmere {

Result<std::vector<Bucket>> read_level_buckets(const LevelDiskData& disk, std::uint64_t bucket_size,
                                               std::uint64_t input_shape) {
  // Its classifier would have no output.
  if (disk.buckets.empty()) return fail(Error::file_operation("a dumped level has no buckets: " + disk.records_path));

  auto records_file = raw::open_regular(disk.records_path);
  if (!records_file) return fail(records_file.error());
  auto ids_file = raw::open_regular(disk.ids_path);
  if (!ids_file) return fail(ids_file.error());

  // A dump writes a level's buckets one after another from byte 0 of both files, and nothing
  // else. Anything other than that exact tiling is a damaged description: a count one short
  // or one over would drop a record or repeat the next bucket's first, a shifted offset would
  // garble every value. It is refused before the first bucket is allocated.
  auto records_size = raw::file_size(records_file->ref());
  if (!records_size) return fail(records_size.error());
  auto ids_size = raw::file_size(ids_file->ref());
  if (!ids_size) return fail(ids_size.error());
  std::uint64_t records_end = 0, ids_end = 0;
  for (std::size_t b = 0; b < disk.buckets.size(); ++b) {
    const DiskBucket& d = disk.buckets[b];
    const std::string what = "bucket " + std::to_string(b);
    for (const auto& [offset, end, path] : {std::tuple{d.records_offset, records_end, &disk.records_path},
                                            std::tuple{d.ids_offset, ids_end, &disk.ids_path}}) {
      if (offset != end)
        return fail(Error::file_operation(what + " is said to start at byte " + std::to_string(offset) + " of " +
                                          *path + ", but the buckets before it end at byte " + std::to_string(end)));
    }
    auto r = raw::extent_in_file(d.records_offset, d.count, input_shape, 4, *records_size, disk.records_path, what);
    if (!r) return fail(r.error());
    auto i = raw::extent_in_file(d.ids_offset, d.count, 1, 4, *ids_size, disk.ids_path, what);
    if (!i) return fail(i.error());
    records_end += *r;
    ids_end += *i;
  }
  for (const auto& [end, size, path] : {std::tuple{records_end, *records_size, &disk.records_path},
                                        std::tuple{ids_end, *ids_size, &disk.ids_path}}) {
    if (end != size)
      return fail(Error::file_operation("the buckets of " + *path + " end at byte " + std::to_string(end) +
                                        ", but the file holds " + std::to_string(size) + " bytes"));
  }

  std::vector<Bucket> buckets;
  try {
    buckets.reserve(disk.buckets.size());
  } catch (const std::exception& e) {
    return fail(exception_error(e, "a level of " + std::to_string(disk.buckets.size()) + " buckets"));
  }
  for (const DiskBucket& d : disk.buckets) {
    if (interrupted()) return fail(interrupted_error());
    BucketBuilder bb;
    bb.size = bucket_size;
    bb.input_shape = input_shape;
    bb.disk_bucket = d;
    bb.records_file = records_file->ref();
    bb.ids_file = ids_file->ref();
    auto bucket = bb.build();
    if (!bucket) return fail(bucket.error());
    buckets.push_back(std::move(*bucket));  // room was reserved: no allocation
  }
  if (auto c = records_file->close(); !c) return fail(c.error());
  if (auto c = ids_file->close(); !c) return fail(c.error());
  return buckets;
}

Result<DiskLevelIndex> LevelIndex::dump(const std::string& dir, std::uint64_t n) const {
  try {
    const std::string number = std::to_string(n);
    // The weights come first, before the level's raw files exist.
    auto model_config = model_.save_weights(raw::join_path(dir, "model-" + number + ".safetensors"));
    if (!model_config) return fail(model_config.error());

    DiskLevelIndex disk;
    disk.records_path = raw::join_path(dir, "bucket-records-" + number + ".bin");
    disk.ids_path = raw::join_path(dir, "bucket-ids-" + number + ".bin");
    auto records_file = raw::create(disk.records_path);
    if (!records_file) return fail(records_file.error());
    auto ids_file = raw::create(disk.ids_path);
    if (!ids_file) return fail(ids_file.error());
    disk.buckets.reserve(buckets_.size());
    for (const Bucket& bucket : buckets_) {
      auto d = bucket.dump(records_file->ref(), ids_file->ref());
      if (!d) return fail(d.error());
      disk.buckets.push_back(*d);
    }
    if (auto c = records_file->sync_and_close(); !c) return fail(c.error());
    if (auto c = ids_file->sync_and_close(); !c) return fail(c.error());
    disk.config = LevelIndexConfig{std::move(*model_config), bucket_size()};
    return disk;
  } catch (const std::bad_alloc&) {
    return fail(Error::out_of_memory("out of memory while dumping level " + std::to_string(n)));
  }
}

}  // namespace quillmere
