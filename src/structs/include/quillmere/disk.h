// Records of "meta.json", the description of a dumped index directory, with
// its writer (compact JSON, keys in declaration order) and its tolerant reader.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "quillmere/config.h"
#include "quillmere/error.h"

namespace quillmere {

// One bucket's extent inside its level's records and ids files.
struct DiskBucket {
  std::uint64_t records_offset = 0;  // byte offset of the first record value
  std::uint64_t ids_offset = 0;      // byte offset of the first id
  std::uint64_t count = 0;           // records in the bucket
  bool operator==(const DiskBucket&) const = default;
};

// The insert buffer's files.
struct DiskBuffer {
  std::string records_path;  // absolute path of "buffer_records.bin"
  std::string ids_path;      // absolute path of "buffer_ids.bin"
  std::uint64_t count = 0;
  bool operator==(const DiskBuffer&) const = default;
};

// One dumped level.
struct DiskLevelIndex {
  std::string records_path;         // absolute path of "bucket-records-<n>.bin"
  std::string ids_path;             // absolute path of "bucket-ids-<n>.bin"
  std::vector<DiskBucket> buckets;  // in bucket order, empty buckets included
  LevelIndexConfig config;          // model.weights_path = absolute path of "model-<n>.safetensors"
  bool operator==(const DiskLevelIndex&) const = default;
};

// The root record of "meta.json".
struct DiskIndex {
  CompactionStrategy compaction_strategy;
  LevelIndexConfig levels_config;
  std::uint64_t buffer_size = 0;
  std::uint64_t input_shape = 0;
  std::uint64_t arity = 0;
  DistanceFn distance_fn = DistanceFn::l2;
  DeleteMethod delete_method = DeleteMethod::oid_to_bucket;
  std::vector<DiskLevelIndex> levels;  // level 0 first
  DiskBuffer disk_buffer;
  bool operator==(const DiskIndex&) const = default;
};

// The compact JSON text of `disk`: no whitespace, keys in declaration order, an
// absent weights_path as null, a relu layer as {"type":"relu"}. A path that is not
// valid UTF-8 fails with Error::invalid_json("path contains invalid UTF-8 characters").
Result<std::string> write_meta_json(const DiskIndex& disk);

// Creates (or truncates, mode 0666) the file at `path`, writes write_meta_json(disk)
// into it and flushes it to the device. Error::file_operation when the file cannot be created; Error::invalid_json
// when a path is not UTF-8 (checked before the file is touched) or the write fails.
Result<void> write_meta_json_file(const std::string& path, const DiskIndex& disk);

// Reads one DiskIndex from JSON text: keys in any order, unknown keys skipped, records
// also as positional arrays, weights_path absent or null meaning none. Failure is
// Error::invalid_json(detail), the detail ending " at line N column M". A level with
// no buckets is refused here, since its classifier would have no output.
Result<DiskIndex> read_meta_json(std::string_view text);

}  // namespace quillmere
