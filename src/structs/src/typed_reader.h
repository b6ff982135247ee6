// Fills the configuration and meta.json records from a value tree.
#pragma once

#include <expected>
#include <string>

#include "quillmere/config.h"
#include "quillmere/disk.h"
#include "value_tree.h"

namespace quillmere::detail {

// Both return the reader's detail text on failure (without the error kind's prefix).
std::expected<IndexConfig, std::string> index_config_from_yaml_tree(const ParsedTree& tree);
std::expected<DiskIndex, std::string> disk_index_from_json_tree(const ParsedTree& tree);

}  // namespace quillmere::detail
