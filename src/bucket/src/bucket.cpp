#include "quillmere/bucket.h"

#include <algorithm>
#include <new>
#include <stdexcept>

#include "quillmere/checked.h"

namespace quillmere {
namespace {

const char kBufferFull[] = "Buffer is full, cannot insert new record";

// Room for `n` values of T in `v`, refusing sizes that overflow or cannot be allocated.
template <class T>
Result<void> reserve_exact(std::vector<T>& v, std::uint64_t n, const char* what) {
  auto bytes = checked_mul(n, sizeof(T));
  if (!bytes || n > v.max_size())
    return fail(Error::out_of_memory(std::string("Cannot reserve room for ") + what + ": " + std::to_string(n) +
                                     " elements overflow the address space"));
  try {
    v.reserve(n);
  } catch (const std::bad_alloc&) {
    return fail(Error::out_of_memory(std::string("Cannot reserve room for ") + what + ": allocation of " +
                                     std::to_string(*bytes) + " bytes failed"));
  } catch (const std::length_error&) {
    return fail(Error::out_of_memory(std::string("Cannot reserve room for ") + what + ": " + std::to_string(n) +
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

Result<void> RecordStore::check_lists() const {
  auto values = checked_mul(ids.size(), input_shape);
  if (!values || *values != records.size())
    return fail(Error::assertion("assertion failed: records.len() == ids.len() * input_shape"));
  return {};
}

void RecordStore::append(std::span<const float> record, std::uint32_t id) {
  grow_for(records, record.size());
  grow_for(ids, 1);
  records.insert(records.end(), record.begin(), record.end());
  ids.push_back(id);
}

Result<RemovedRecord> RecordStore::remove_at(std::uint64_t position) {
  const std::uint64_t n = ids.size();
  if (position >= n) return fail(Error::assertion("assertion failed: position < ids.len()"));
  if (auto c = check_lists(); !c) return fail(c.error());

  RemovedRecord out;
  try {
    out.record.resize(input_shape);  // the only allocation, made before anything changes
  } catch (const std::exception&) {
    return fail(Error::out_of_memory("Cannot allocate the removed record"));
  }
  const std::uint64_t last = n - 1;
  const std::uint64_t d = input_shape;
  if (position != last) {
    std::swap(ids[position], ids[last]);
    std::swap_ranges(records.begin() + position * d, records.begin() + (position + 1) * d, records.begin() + last * d);
  }
  std::copy(records.begin() + last * d, records.end(), out.record.begin());
  records.resize(last * d);
  out.id = ids[last];
  ids.pop_back();
  out.position = position;
  out.moved_id = position == last ? out.id : ids[position];
  return out;
}

std::uint64_t Bucket::push(std::span<const float> record, std::uint32_t id) {
  const std::uint64_t position = ids.size();
  append(record, id);
  return position;
}

Result<void> Bucket::reserve_more(std::uint64_t more) {
  auto n_ids = checked_add(ids.size(), more);
  auto n_values = n_ids ? checked_mul(*n_ids, input_shape) : std::nullopt;
  if (!n_ids || !n_values) return fail(Error::out_of_memory("Cannot reserve room in a bucket: size overflows"));
  if (auto r = reserve_exact(records, *n_values, "bucket records"); !r) return r;
  return reserve_exact(ids, *n_ids, "bucket ids");
}

Result<void> Buffer::insert(std::span<const float> record, std::uint32_t id) {
  if (ids.size() >= size) return fail({ErrorKind::BufferFull, kBufferFull});
  try {
    append(record, id);
  } catch (const std::exception&) {
    return fail(Error::out_of_memory("Cannot grow the insert buffer"));
  }
  return {};
}

Result<void> Buffer::reserve_capacity() {
  auto n_values = checked_mul(size, input_shape);
  if (!n_values)
    return fail(Error::out_of_memory("Cannot reserve room for the insert buffer: " + std::to_string(size) +
                                     " records of " + std::to_string(input_shape) + " values overflow"));
  if (auto r = reserve_exact(records, *n_values, "the insert buffer's records"); !r) return r;
  return reserve_exact(ids, size, "the insert buffer's ids");
}

std::pair<std::vector<float>, std::vector<std::uint32_t>> Buffer::drain() {
  std::pair<std::vector<float>, std::vector<std::uint32_t>> out{std::move(records), std::move(ids)};
  records = std::vector<float>();
  ids = std::vector<std::uint32_t>();
  // Room was reserved once at build; failing to get it again only means later appends grow.
  (void)reserve_capacity();
  return out;
}

namespace {

// An empty store of the builder's size and input_shape; the first absent one is MissingAttribute.
template <class Store>
Result<Store> empty_store(const std::optional<std::uint64_t>& size, const std::optional<std::uint64_t>& input_shape) {
  if (!size) return fail(Error::missing_attribute("size"));
  if (!input_shape) return fail(Error::missing_attribute("input_shape"));
  Store store;
  store.size = *size;
  store.input_shape = *input_shape;
  return store;
}

}  // namespace

Result<Bucket> BucketBuilder::build() const {
  auto bucket = empty_store<Bucket>(size, input_shape);
  if (!bucket || !disk_bucket) return bucket;
  if (!records_file) return fail(Error::missing_attribute("records_file"));
  if (!ids_file) return fail(Error::missing_attribute("ids_file"));
  if (auto r = read_bucket_arrays(*records_file, *ids_file, *disk_bucket, *bucket); !r) return fail(r.error());
  return bucket;
}

Result<Buffer> BufferBuilder::build() const {
  auto buffer = empty_store<Buffer>(size, input_shape);
  if (!buffer) return buffer;
  auto filled = disk_buffer ? read_buffer_files(*disk_buffer, *buffer) : buffer->reserve_capacity();
  if (!filled) return fail(filled.error());
  return buffer;
}

}  // namespace quillmere
