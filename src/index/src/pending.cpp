// Placeholders until delete/rebuild, dump/load and the YAML reader land; that work replaces this file.
#include "quillmere/index.h"

namespace quillmere {

Result<std::optional<std::pair<std::vector<float>, std::uint32_t>>> Index::remove(std::uint32_t) { return fail({ErrorKind::NotImplemented, "not yet implemented"}); }

}  // namespace quillmere
