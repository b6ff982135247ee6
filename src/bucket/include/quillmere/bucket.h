// Record stores: a level's Bucket and the index's insert Buffer. Both keep their
// records as one flat f32 list beside a parallel u32 id list; a record's position
// is its index in storage order, which the level id maps and the search rely on.
//
// A store owns its two lists: they change only through the operations below, each of
// which keeps input_shape values per id, so no operation has to check them again.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quillmere/disk.h"
#include "quillmere/error.h"
#include "quillmere/raw_file.h"

namespace quillmere {

// A record taken out of a store (and out of the index): its values and id, where it was,
// and the id that took its place there (the removed id when it was the last record).
struct RemovedRecord {
  std::vector<float> record;
  std::uint32_t id = 0;
  std::uint64_t position = 0;
  std::uint32_t moved_id = 0;
};

class RecordStore;

// A store's two lists taken out whole (RecordStore::take, Buffer::drain). Only a store
// makes one, so its lists always agree; it goes back only into a store of the same shape.
class StoreLists {
 public:
  StoreLists() = default;
  const std::vector<float>& records() const noexcept { return records_; }
  const std::vector<std::uint32_t>& ids() const noexcept { return ids_; }
  std::uint64_t occupied() const noexcept { return ids_.size(); }

 private:
  friend class RecordStore;
  std::vector<float> records_;
  std::vector<std::uint32_t> ids_;
};

// What both stores share: the flat record list beside the id list, their nominal
// (Bucket) or hard (Buffer) capacity `size`, and the values per record.
class RecordStore {
 public:
  std::uint64_t size() const noexcept { return size_; }
  std::uint64_t input_shape() const noexcept { return input_shape_; }
  std::uint64_t occupied() const noexcept { return ids_.size(); }
  // Every record's values, record after record, and the parallel ids.
  const std::vector<float>& records() const noexcept { return records_; }
  const std::vector<std::uint32_t>& ids() const noexcept { return ids_; }
  // Values of the record at `position` (position < occupied()).
  std::span<const float> record(std::uint64_t position) const noexcept {
    return {records_.data() + position * input_shape_, input_shape_};
  }
  // Bytes the two lists hold room for, used or not.
  std::uint64_t reserved_bytes() const noexcept {
    return sizeof(float) * records_.capacity() + sizeof(std::uint32_t) * ids_.capacity();
  }

  // Swap removal: the last record takes the place of the one at `position`, so every
  // other record keeps its position. Refuses (and changes nothing) when `position` is
  // not below the record count.
  Result<RemovedRecord> remove_at(std::uint64_t position);
  // Hands over both lists whole and leaves the store empty with no storage reserved.
  StoreLists take() noexcept;
  // Puts back lists this store handed out (take, drain), replacing what it holds now.
  void put_back(StoreLists&& lists) noexcept;

 protected:
  RecordStore() = default;
  RecordStore(std::uint64_t size, std::uint64_t input_shape) noexcept : size_(size), input_shape_(input_shape) {}
  // Appends one record (input_shape values) and its id. May throw std::bad_alloc,
  // and then changes nothing.
  void append(std::span<const float> record, std::uint32_t id);
  // Room for `count` records in all, refusing sizes that overflow or cannot be allocated.
  // `what` names the store in error texts.
  Result<void> reserve_records(std::uint64_t count, std::string_view what);
  // Replaces the lists with `count` records read from two open files at the given byte
  // offsets, after checking that both lie inside their files (and, with `whole_files`, that
  // they end exactly where the files do). `what` names the store in error texts.
  Result<void> read_lists(raw::FileRef records_file, std::uint64_t records_offset, raw::FileRef ids_file,
                          std::uint64_t ids_offset, std::uint64_t count, std::string_view what, bool whole_files);

  std::vector<float> records_;
  std::vector<std::uint32_t> ids_;
  std::uint64_t size_ = 0;
  std::uint64_t input_shape_ = 0;
};

// One bucket of a level. `size` is nominal: a bucket may hold more.
class Bucket : public RecordStore {
 public:
  // An empty bucket with no storage reserved.
  Bucket(std::uint64_t size, std::uint64_t input_shape) noexcept : RecordStore(size, input_shape) {}

  // Appends one record and returns its position. May throw std::bad_alloc when the
  // lists must grow; reserve first where that matters.
  std::uint64_t push(std::span<const float> record, std::uint32_t id);
  // Room for `more` further records without growing; refuses on overflow or allocation failure.
  Result<void> reserve_more(std::uint64_t more);
  // Drops the records after the first `count` (count <= occupied()); undoes pushes.
  void truncate(std::uint64_t count) noexcept;
  // Gives capacity back once the bucket holds less than a quarter of what its lists have
  // room for: they shrink to room for twice what it holds (nothing when it is empty).
  // Values and positions stay as they are; when the smaller lists cannot be allocated the
  // old ones stay. Between the two thresholds nothing moves, so deletes and inserts that
  // alternate do not shrink and grow the lists in turn.
  void release_spare_capacity() noexcept;
  // Appends the records, then the ids, at the current end of the level's two open
  // files and returns where they start.
  Result<DiskBucket> dump(raw::FileRef records_file, raw::FileRef ids_file) const;

 private:
  friend struct BucketBuilder;
  // Fills the empty bucket with disk.count records and ids read at the DiskBucket's offsets.
  Result<void> read(raw::FileRef records_file, raw::FileRef ids_file, const DiskBucket& disk);
};

// The insert buffer: a store with a hard capacity of `size` records.
class Buffer : public RecordStore {
 public:
  // Appends a record and its id. Refuses with ErrorKind::BufferFull
  // ("Buffer is full, cannot insert new record") when occupied() >= size; the
  // record's length is the caller's business.
  Result<void> insert(std::span<const float> record, std::uint32_t id);
  // Hands over both lists whole and leaves the buffer empty with room for `size` records
  // again. That room is allocated first: when it cannot be, nothing changes.
  Result<StoreLists> drain();
  // Writes "buffer_records.bin" and "buffer_ids.bin" into the absolute directory `dir`.
  Result<DiskBuffer> dump(const std::string& dir) const;

 private:
  friend struct BufferBuilder;
  Buffer(std::uint64_t size, std::uint64_t input_shape) noexcept : RecordStore(size, input_shape) {}
  // Fills the empty buffer with the disk.count records and ids of its two files (regular
  // files only), which must hold exactly those; more records than `size` is refused.
  Result<void> read(const DiskBuffer& disk);
};

// Makes one Bucket. Slots are checked in the order size, input_shape, then (with a
// dumped bucket) records_file, ids_file; the first absent one is MissingAttribute.
// Every offset and count is checked against the files' real sizes before anything is
// allocated; a short file is ErrorKind::FileOperation.
struct BucketBuilder {
  std::optional<std::uint64_t> size;
  std::optional<std::uint64_t> input_shape;
  std::optional<DiskBucket> disk_bucket;
  // The level's open records and ids files (borrowed), needed only with disk_bucket.
  std::optional<raw::FileRef> records_file;
  std::optional<raw::FileRef> ids_file;

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
  // With one: exactly the dumped records, as read_lists checks them.
  Result<Buffer> build() const;
};

}  // namespace quillmere
