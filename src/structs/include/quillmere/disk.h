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

}  // namespace quillmere
