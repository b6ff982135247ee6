#include "quillmere/bucket.h"

#include <algorithm>
#include <new>
#include <stdexcept>
#include <utility>

#include "quillmere/checked.h"

namespace quillmere {
namespace {

const char kBufferFull[] = "Buffer is full, cannot insert new record";
const char kBufferName[] = "the insert buffer";

// Room for `n` values of T in `v`, refusing sizes that overflow or cannot be allocated.
template <class T>
Result<void> reserve_exact(std::vector<T>& v, std::uint64_t n, const std::string& what) {
  auto bytes = checked_mul(n, sizeof(T));
  if (!bytes || n > v.max_size())
    return fail(Error::out_of_memory("Cannot reserve room for " + what + ": " + std::to_string(n) +
                                     " elements overflow the address space"));
  try {
    v.reserve(n);
  } catch (const std::bad_alloc&) {
    return fail(Error::out_of_memory("Cannot reserve room for " + what + ": allocation of " +
                                     std::to_string(*bytes) + " bytes failed"));
  } catch (const std::length_error&) {
    return fail(Error::out_of_memory("Cannot reserve room for " + what + ": " + std::to_string(n) +
                                     " elements exceed the largest possible list"));
  }
  return {};
}

// Makes sure `v` can take `more` further elements without reallocating inside an append,
// growing geometrically; the vector is unchanged when this throws.
template <class T>
void grow_for(std::vector<T>& v, std::size_t more) {
  std::size_t need = v.size() + more;
  if (need <= v.capacity()) return;
  v.reserve(std::max(need, v.capacity() * 2));
}

}  // namespace

void RecordStore::append(std::span<const float> record, std::uint32_t id) {
  grow_for(records_, record.size());
  grow_for(ids_, 1);
  records_.insert(records_.end(), record.begin(), record.end());
  ids_.push_back(id);
}

Result<void> RecordStore::reserve_records(std::uint64_t count, std::string_view what) {
  auto n_values = checked_mul(count, input_shape_);
  if (!n_values)
    return fail(Error::out_of_memory("Cannot reserve room for " + std::string(what) + ": " + std::to_string(count) +
                                     " records of " + std::to_string(input_shape_) + " values overflow"));
  if (auto r = reserve_exact(records_, *n_values, std::string(what) + "'s records"); !r) return r;
  return reserve_exact(ids_, count, std::string(what) + "'s ids");
}

Result<RemovedRecord> RecordStore::remove_at(std::uint64_t position) {
  const std::uint64_t n = ids_.size();
  if (position >= n) return fail(Error::assertion("assertion failed: position < ids.len()"));

  RemovedRecord out;
  try {
    out.record.resize(input_shape_);  // the only allocation, made before anything changes
  } catch (const std::exception& e) {
    return fail(exception_error(e, "the removed record"));
  }
  const std::uint64_t last = n - 1;
  const std::uint64_t d = input_shape_;
  if (position != last) {
    std::swap(ids_[position], ids_[last]);
    std::swap_ranges(records_.begin() + position * d, records_.begin() + (position + 1) * d,
                     records_.begin() + last * d);
  }
  std::copy(records_.begin() + last * d, records_.end(), out.record.begin());
  records_.resize(last * d);
  out.id = ids_[last];
  ids_.pop_back();
  out.position = position;
  out.moved_id = position == last ? out.id : ids_[position];
  return out;
}

StoreLists RecordStore::take() noexcept {
  StoreLists out;
  out.records_ = std::exchange(records_, std::vector<float>());
  out.ids_ = std::exchange(ids_, std::vector<std::uint32_t>());
  return out;
}

void RecordStore::put_back(StoreLists&& lists) noexcept {
  records_ = std::move(lists.records_);
  ids_ = std::move(lists.ids_);
}

std::uint64_t Bucket::push(std::span<const float> record, std::uint32_t id) {
  const std::uint64_t position = ids_.size();
  append(record, id);
  return position;
}

Result<void> Bucket::reserve_more(std::uint64_t more) {
  auto count = checked_add(ids_.size(), more);
  if (!count) return fail(Error::out_of_memory("Cannot reserve room in a bucket: size overflows"));
  return reserve_records(*count, "a bucket");
}

void Bucket::truncate(std::uint64_t count) noexcept {
  if (count >= ids_.size()) return;
  records_.resize(count * input_shape_);
  ids_.resize(count);
}

void Bucket::release_spare_capacity() noexcept {
  const std::uint64_t n = ids_.size();
  if (ids_.capacity() <= 4 * n && records_.capacity() <= 4 * records_.size()) return;
  try {
    std::vector<float> records;
    std::vector<std::uint32_t> ids;
    records.reserve(2 * records_.size());
    ids.reserve(2 * n);
    records.assign(records_.begin(), records_.end());
    ids.assign(ids_.begin(), ids_.end());
    records_.swap(records);
    ids_.swap(ids);
  } catch (const std::exception&) {
    // Keeping the larger lists loses nothing.
  }
}

Result<void> Buffer::insert(std::span<const float> record, std::uint32_t id) {
  if (ids_.size() >= size_) return fail({ErrorKind::BufferFull, kBufferFull});
  try {
    append(record, id);
  } catch (const std::exception& e) {
    return fail(exception_error(e, "room in the insert buffer"));
  }
  return {};
}

Result<StoreLists> Buffer::drain() {
  // The next lists first, so that a failure leaves the buffer as it was.
  Buffer next(size_, input_shape_);
  if (auto r = next.reserve_records(size_, kBufferName); !r) return fail(r.error());
  StoreLists out = take();
  put_back(next.take());
  return out;
}

namespace {

// The first absent slot of the two every store needs, as MissingAttribute.
Result<void> check_store_slots(const std::optional<std::uint64_t>& size,
                               const std::optional<std::uint64_t>& input_shape) {
  if (!size) return fail(Error::missing_attribute("size"));
  if (!input_shape) return fail(Error::missing_attribute("input_shape"));
  return {};
}

}  // namespace

Result<Bucket> BucketBuilder::build() const {
  if (auto r = check_store_slots(size, input_shape); !r) return fail(r.error());
  Bucket bucket(*size, *input_shape);
  if (!disk_bucket) return bucket;
  if (!records_file) return fail(Error::missing_attribute("records_file"));
  if (!ids_file) return fail(Error::missing_attribute("ids_file"));
  if (auto r = bucket.read(*records_file, *ids_file, *disk_bucket); !r) return fail(r.error());
  return bucket;
}

Result<Buffer> BufferBuilder::build() const {
  if (auto r = check_store_slots(size, input_shape); !r) return fail(r.error());
  Buffer buffer(*size, *input_shape);
  auto filled = disk_buffer ? buffer.read(*disk_buffer) : buffer.reserve_records(*size, kBufferName);
  if (!filled) return fail(filled.error());
  return buffer;
}

}  // namespace quillmere
