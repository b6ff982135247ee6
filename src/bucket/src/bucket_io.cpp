// Writing stores into an index directory and reading them back.
#include <new>
#include <stdexcept>

#include "quillmere/bucket.h"
#include "quillmere/checked.h"
#include "quillmere/raw_file.h"

namespace quillmere {
namespace {

// Sizes `records` and `ids` for `count` records of `input_shape` values, refusing what
// cannot be allocated. The caller has checked that the byte counts fit a file.
Result<void> size_for(std::vector<float>& records, std::vector<std::uint32_t>& ids, std::uint64_t count,
                      std::uint64_t input_shape) {
  auto values = checked_mul(count, input_shape);
  if (!values || *values > records.max_size() || count > ids.max_size())
    return fail(Error::out_of_memory("Cannot allocate " + std::to_string(count) + " loaded records"));
  try {
    records.resize(*values);
    ids.resize(count);
  } catch (const std::exception&) {
    records = std::vector<float>();
    ids = std::vector<std::uint32_t>();
    return fail(Error::out_of_memory("Cannot allocate " + std::to_string(count) + " loaded records"));
  }
  return {};
}

Result<void> check_store(const std::vector<float>& records, const std::vector<std::uint32_t>& ids,
                         std::uint64_t input_shape) {
  auto values = checked_mul(ids.size(), input_shape);
  if (!values || *values != records.size())
    return fail(Error::assertion("assertion failed: records.len() == ids.len() * input_shape"));
  return {};
}

}  // namespace

Result<void> read_bucket_arrays(int records_file, int ids_file, const DiskBucket& disk, Bucket& bucket) {
  auto records_size = raw::file_size(records_file);
  if (!records_size) return fail(records_size.error());
  auto ids_size = raw::file_size(ids_file);
  if (!ids_size) return fail(ids_size.error());
  auto r = raw::extent_in_file(disk.records_offset, disk.count, bucket.input_shape, 4, *records_size,
                               "the level's records file", "a bucket");
  if (!r) return fail(r.error());
  auto i = raw::extent_in_file(disk.ids_offset, disk.count, 1, 4, *ids_size, "the level's ids file", "a bucket");
  if (!i) return fail(i.error());

  if (auto s = size_for(bucket.records, bucket.ids, disk.count, bucket.input_shape); !s) return s;
  auto read = raw::read_f32_at(records_file, disk.records_offset, bucket.records);
  if (read) read = raw::read_u32_at(ids_file, disk.ids_offset, bucket.ids);
  if (!read) {
    bucket.records = std::vector<float>();
    bucket.ids = std::vector<std::uint32_t>();
    return read;
  }
  return {};
}

Result<void> read_buffer_files(const DiskBuffer& disk, Buffer& buffer) {
  auto records_file = raw::open_regular(disk.records_path);
  if (!records_file) return fail(records_file.error());
  auto ids_file = raw::open_regular(disk.ids_path);
  if (!ids_file) return fail(ids_file.error());

  // A buffer left exactly full by a failed flush is accepted: the next insert retries it.
  if (disk.count > buffer.size)
    return fail(Error::file_operation("the insert buffer's files are said to hold " + std::to_string(disk.count) +
                                      " records, more than its capacity of " + std::to_string(buffer.size)));
  auto records_size = raw::file_size(records_file->fd());
  if (!records_size) return fail(records_size.error());
  auto ids_size = raw::file_size(ids_file->fd());
  if (!ids_size) return fail(ids_size.error());
  auto r = raw::extent_in_file(0, disk.count, buffer.input_shape, 4, *records_size, disk.records_path,
                               "the insert buffer");
  if (!r) return fail(r.error());
  auto i = raw::extent_in_file(0, disk.count, 1, 4, *ids_size, disk.ids_path, "the insert buffer");
  if (!i) return fail(i.error());

  std::vector<float> records;
  std::vector<std::uint32_t> ids;
  if (auto s = size_for(records, ids, disk.count, buffer.input_shape); !s) return s;
  if (auto rd = raw::read_f32_at(records_file->fd(), 0, records); !rd) return rd;
  if (auto rd = raw::read_u32_at(ids_file->fd(), 0, ids); !rd) return rd;
  if (auto c = records_file->close(); !c) return c;
  if (auto c = ids_file->close(); !c) return c;
  buffer.records = std::move(records);
  buffer.ids = std::move(ids);
  return {};
}

Result<DiskBucket> Bucket::dump(int records_file, int ids_file) const {
  if (auto c = check_store(records, ids, input_shape); !c) return fail(c.error());
  DiskBucket disk;
  auto at = raw::position(records_file);
  if (!at) return fail(at.error());
  disk.records_offset = *at;
  if (auto w = raw::write_f32(records_file, records); !w) return fail(w.error());
  at = raw::position(ids_file);
  if (!at) return fail(at.error());
  disk.ids_offset = *at;
  if (auto w = raw::write_u32(ids_file, ids); !w) return fail(w.error());
  disk.count = ids.size();
  return disk;
}

Result<DiskBuffer> Buffer::dump(const std::string& dir) const {
  if (auto c = check_store(records, ids, input_shape); !c) return fail(c.error());
  try {
    DiskBuffer disk{raw::join_path(dir, "buffer_records.bin"), raw::join_path(dir, "buffer_ids.bin"), ids.size()};
    auto records_file = raw::create(disk.records_path);
    if (!records_file) return fail(records_file.error());
    if (auto w = raw::write_f32(records_file->fd(), records); !w) return fail(w.error());
    auto ids_file = raw::create(disk.ids_path);
    if (!ids_file) return fail(ids_file.error());
    if (auto w = raw::write_u32(ids_file->fd(), ids); !w) return fail(w.error());
    if (auto c = records_file->close(); !c) return fail(c.error());
    if (auto c = ids_file->close(); !c) return fail(c.error());
    return disk;
  } catch (const std::bad_alloc&) {
    return fail(Error::out_of_memory("out of memory while dumping the insert buffer"));
  }
}

}  // namespace quillmere
