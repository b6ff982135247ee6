// Placeholders until delete/rebuild, dump/load and the YAML reader land; that work replaces this file.
#include "quillmere/index.h"

namespace quillmere {

Result<IndexBuilder> IndexBuilder::from_yaml(const std::string&) { return fail({ErrorKind::NotImplemented, "not yet implemented"}); }
Result<IndexBuilder> IndexBuilder::from_disk(const std::string&) { return fail({ErrorKind::NotImplemented, "not yet implemented"}); }
Result<void> Index::dump(const std::string&) const { return fail({ErrorKind::NotImplemented, "not yet implemented"}); }
Result<std::optional<std::pair<std::vector<float>, std::uint32_t>>> Index::remove(std::uint32_t) { return fail({ErrorKind::NotImplemented, "not yet implemented"}); }

}  // namespace quillmere
