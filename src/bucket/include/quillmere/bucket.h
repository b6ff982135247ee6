// Record stores: a level's Bucket and the index's insert Buffer. Both keep their
// records as one flat f32 list beside a parallel u32 id list; a record's position
// is its index in storage order, which the level id maps and the search rely on.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "quillmere/disk.h"
#include "quillmere/error.h"

namespace quillmere {

// What a swap removal hands back.
struct RemovedRecord {
  std::vector<float> record;   // the removed record's values
  std::uint32_t id = 0;        // the removed record's id
  std::uint64_t position = 0;  // where it was removed from
  std::uint32_t moved_id = 0;  // id now at `position`; the removed id when it was the last record
};

// What both stores share: the flat record list beside the id list, their nominal
// (Bucket) or hard (Buffer) capacity `size`, and the values per record.
struct RecordStore {
  std::vector<float> records;
  std::vector<std::uint32_t> ids;
  std::uint64_t size = 0;
  std::uint64_t input_shape = 0;

  std::uint64_t occupied() const noexcept { return ids.size(); }
  // Values of the record at `position` (position < occupied()).
  std::span<const float> record(std::uint64_t position) const noexcept {
    return {records.data() + position * input_shape, input_shape};
  }
  // Swap removal: the last record takes the place of the one at `position`, so every
  // other record keeps its position. Refuses (and changes nothing) when `position` is
  // not below the record count or the lists disagree with `input_shape`.
  Result<RemovedRecord> remove_at(std::uint64_t position);
  // Refuses lists that disagree with `input_shape`.
  Result<void> check_lists() const;

 protected:
  // Appends one record (input_shape values) and its id. May throw std::bad_alloc,
  // and then changes nothing.
  void append(std::span<const float> record, std::uint32_t id);
};

// One bucket of a level. `size` is nominal: a bucket may hold more.
struct Bucket : RecordStore {
  // Appends one record and returns its position. May throw std::bad_alloc when the
  // lists must grow; reserve first where that matters.
  std::uint64_t push(std::span<const float> record, std::uint32_t id);
  // Room for `more` further records without growing; refuses on overflow or allocation failure.
  Result<void> reserve_more(std::uint64_t more);
  // Appends the records, then the ids, at the current end of the level's two open
  // files and returns where they start.
  Result<DiskBucket> dump(int records_file, int ids_file) const;
};

// The insert buffer: a store with a hard capacity of `size` records.
struct Buffer : RecordStore {
  // Appends a record and its id. Refuses with ErrorKind::BufferFull
  // ("Buffer is full, cannot insert new record") when occupied() >= size; the
  // record's length is the caller's business.
  Result<void> insert(std::span<const float> record, std::uint32_t id);
  // Hands over both lists whole and leaves the buffer empty with room for `size` records again.
  std::pair<std::vector<float>, std::vector<std::uint32_t>> drain();
  // Reserves room for `size` records (size x input_shape values and size ids).
  Result<void> reserve_capacity();
  // Writes "buffer_records.bin" and "buffer_ids.bin" into the absolute directory `dir`.
  Result<DiskBuffer> dump(const std::string& dir) const;
};

// Makes one Bucket. Slots are checked in the order size, input_shape, then (with a
// dumped bucket) records_file, ids_file; the first absent one is MissingAttribute.
struct BucketBuilder {
  std::optional<std::uint64_t> size;
  std::optional<std::uint64_t> input_shape;
  std::optional<DiskBucket> disk_bucket;
  // The level's open records and ids files (POSIX descriptors, borrowed), needed only with disk_bucket.
  std::optional<int> records_file;
  std::optional<int> ids_file;

  // Without a dumped bucket: an empty bucket with no storage reserved.
  Result<Bucket> build() const;
};

// Makes the insert Buffer. Slots are checked in the order size, input_shape.
struct BufferBuilder {
  std::optional<std::uint64_t> size;
  std::optional<std::uint64_t> input_shape;
  std::optional<DiskBuffer> disk_buffer;

  // Without a dumped buffer: an empty buffer with room reserved for `size` records;
  // a reservation that overflows or cannot be allocated is refused (ErrorKind::OutOfMemory).
  Result<Buffer> build() const;
};

// Reading dumped stores. Every offset and count is checked against the files' real
// sizes before anything is allocated; a short file is ErrorKind::FileOperation.
// Fills `bucket` with disk.count records and ids read at the DiskBucket's offsets.
Result<void> read_bucket_arrays(int records_file, int ids_file, const DiskBucket& disk, Bucket& bucket);
// Fills `buffer` with the disk.count records and ids of the buffer's two files (regular
// files only); more records than buffer.size is refused.
Result<void> read_buffer_files(const DiskBuffer& disk, Buffer& buffer);

}  // namespace quillmere
