// Placeholder until the dump/load code lands; that work replaces this file.
#include "quillmere/level_index.h"

namespace quillmere {

Result<std::vector<Bucket>> read_level_buckets(const LevelDiskData&, std::uint64_t, std::uint64_t) {
  return fail({ErrorKind::NotImplemented, "not yet implemented"});
}

}  // namespace quillmere
