// Writing stores into an index directory and reading them back.
#include <new>
#include <stdexcept>
#include <string_view>
#include <tuple>
#include <utility>

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

// Where one of a store's two lists lies: an open file, the list's byte offset in it,
// and the file's name for error texts.
struct ListSource {
  int fd;
  std::uint64_t offset;
  std::string_view name;
};

using Lists = std::pair<std::vector<float>, std::vector<std::uint32_t>>;

// `count` records of `input_shape` values and their ids, read after checking that
// both lists lie inside their files. `what` names the store in error texts.
Result<Lists> read_lists(ListSource records_src, ListSource ids_src, std::uint64_t count, std::uint64_t input_shape,
                         std::string_view what) {
  auto records_size = raw::file_size(records_src.fd);
  if (!records_size) return fail(records_size.error());
  auto ids_size = raw::file_size(ids_src.fd);
  if (!ids_size) return fail(ids_size.error());
  auto r = raw::extent_in_file(records_src.offset, count, input_shape, 4, *records_size, records_src.name, what);
  if (!r) return fail(r.error());
  auto i = raw::extent_in_file(ids_src.offset, count, 1, 4, *ids_size, ids_src.name, what);
  if (!i) return fail(i.error());

  Lists lists;
  if (auto s = size_for(lists.first, lists.second, count, input_shape); !s) return fail(s.error());
  if (auto rd = raw::read_f32_at(records_src.fd, records_src.offset, lists.first); !rd) return fail(rd.error());
  if (auto rd = raw::read_u32_at(ids_src.fd, ids_src.offset, lists.second); !rd) return fail(rd.error());
  return lists;
}

}  // namespace

Result<void> read_bucket_arrays(int records_file, int ids_file, const DiskBucket& disk, Bucket& bucket) {
  auto lists = read_lists({records_file, disk.records_offset, "the level's records file"},
                          {ids_file, disk.ids_offset, "the level's ids file"}, disk.count, bucket.input_shape,
                          "a bucket");
  if (!lists) return fail(lists.error());
  std::tie(bucket.records, bucket.ids) = std::move(*lists);
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
  auto lists = read_lists({records_file->fd(), 0, disk.records_path}, {ids_file->fd(), 0, disk.ids_path}, disk.count,
                          buffer.input_shape, "the insert buffer");
  if (!lists) return fail(lists.error());
  if (auto c = records_file->close(); !c) return c;
  if (auto c = ids_file->close(); !c) return c;
  std::tie(buffer.records, buffer.ids) = std::move(*lists);
  return {};
}

Result<DiskBucket> Bucket::dump(int records_file, int ids_file) const {
  if (auto c = check_lists(); !c) return fail(c.error());
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
  if (auto c = check_lists(); !c) return fail(c.error());
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
