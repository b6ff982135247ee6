// Placeholder until the dump/load code lands; that work replaces this file.
#include "quillmere/bucket.h"

namespace quillmere {

Result<void> read_bucket_arrays(int, int, const DiskBucket&, Bucket&) {
  return fail({ErrorKind::NotImplemented, "not yet implemented"});
}

Result<void> read_buffer_files(const DiskBuffer&, Buffer&) {
  return fail({ErrorKind::NotImplemented, "not yet implemented"});
}

}  // namespace quillmere
