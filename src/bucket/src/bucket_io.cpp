// Writing stores into an index directory and reading them back.
#include <string_view>
#include <tuple>
#include <utility>

#include "quillmere/bucket.h"
#include "quillmere/raw_file.h"

namespace quillmere {

Result<void> RecordStore::read_lists(raw::FileRef records_file, std::uint64_t records_offset, raw::FileRef ids_file,
                                     std::uint64_t ids_offset, std::uint64_t count, std::string_view what,
                                     bool whole_files) {
  const std::string_view records_name = records_file.path, ids_name = ids_file.path;
  auto records_size = raw::file_size(records_file);
  if (!records_size) return fail(records_size.error());
  auto ids_size = raw::file_size(ids_file);
  if (!ids_size) return fail(ids_size.error());
  auto r = raw::extent_in_file(records_offset, count, input_shape_, 4, *records_size, records_name, what);
  if (!r) return fail(r.error());
  auto i = raw::extent_in_file(ids_offset, count, 1, 4, *ids_size, ids_name, what);
  if (!i) return fail(i.error());
  if (whole_files) {
    for (const auto& [end, size, name] : {std::tuple{records_offset + *r, *records_size, records_name},
                                          std::tuple{ids_offset + *i, *ids_size, ids_name}}) {
      if (end != size)
        return fail(Error::file_operation(std::string(what) + " of " + std::to_string(count) + " records ends at byte " +
                                          std::to_string(end) + ", but " + std::string(name) + " holds " +
                                          std::to_string(size) + " bytes"));
    }
  }

  // Both lists fit their files, so their sizes fit memory's addresses.
  std::vector<float> records;
  std::vector<std::uint32_t> ids;
  try {
    records.resize(*r / sizeof(float));
    ids.resize(count);
  } catch (const std::exception& e) {
    return fail(exception_error(e, std::to_string(count) + " loaded records"));
  }
  if (auto rd = raw::read_f32_at(records_file, records_offset, records); !rd) return fail(rd.error());
  if (auto rd = raw::read_u32_at(ids_file, ids_offset, ids); !rd) return fail(rd.error());
  records_ = std::move(records);
  ids_ = std::move(ids);
  return {};
}

Result<void> Bucket::read(raw::FileRef records_file, raw::FileRef ids_file, const DiskBucket& disk) {
  return read_lists(records_file, disk.records_offset, ids_file, disk.ids_offset, disk.count, "a bucket", false);
}

Result<void> Buffer::read(const DiskBuffer& disk) {
  auto records_file = raw::open_regular(disk.records_path);
  if (!records_file) return fail(records_file.error());
  auto ids_file = raw::open_regular(disk.ids_path);
  if (!ids_file) return fail(ids_file.error());

  // A buffer left exactly full by a failed flush is accepted: the next insert retries it.
  if (disk.count > size_)
    return fail(Error::file_operation("the insert buffer's files are said to hold " + std::to_string(disk.count) +
                                      " records, more than its capacity of " + std::to_string(size_)));
  // A dump writes the buffer's files whole: a count that leaves bytes over is damage.
  if (auto r = read_lists(records_file->ref(), 0, ids_file->ref(), 0, disk.count, "the insert buffer", true);
      !r)
    return r;
  if (auto c = records_file->close(); !c) return c;
  return ids_file->close();
}

Result<DiskBucket> Bucket::dump(raw::FileRef records_file, raw::FileRef ids_file) const {
  DiskBucket disk;
  auto at = raw::position(records_file);
  if (!at) return fail(at.error());
  disk.records_offset = *at;
  if (auto w = raw::write_f32(records_file, records_); !w) return fail(w.error());
  at = raw::position(ids_file);
  if (!at) return fail(at.error());
  disk.ids_offset = *at;
  if (auto w = raw::write_u32(ids_file, ids_); !w) return fail(w.error());
  disk.count = ids_.size();
  return disk;
}

Result<DiskBuffer> Buffer::dump(const std::string& dir) const {
  try {
    DiskBuffer disk{raw::join_path(dir, "buffer_records.bin"), raw::join_path(dir, "buffer_ids.bin"), ids_.size()};
    auto records_file = raw::create(disk.records_path);
    if (!records_file) return fail(records_file.error());
    if (auto w = raw::write_f32(records_file->ref(), records_); !w) return fail(w.error());
    auto ids_file = raw::create(disk.ids_path);
    if (!ids_file) return fail(ids_file.error());
    if (auto w = raw::write_u32(ids_file->ref(), ids_); !w) return fail(w.error());
    if (auto c = records_file->sync_and_close(); !c) return fail(c.error());
    if (auto c = ids_file->sync_and_close(); !c) return fail(c.error());
    return disk;
  } catch (const std::exception& e) {
    return fail(exception_error(e, "the paths of the insert buffer's files"));
  }
}

}  // namespace quillmere
