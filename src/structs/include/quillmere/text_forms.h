// Text forms of the configuration enumerations, as the builder's setters take
// them. Matching is exact and case-sensitive; no trimming.
#pragma once

#include <string>
#include <string_view>

#include "quillmere/config.h"
#include "quillmere/error.h"

namespace quillmere {

// "l2" | "dot"; otherwise Error::invalid_value("Unknown distance function: " + text).
Result<DistanceFn> parse_distance_fn(std::string_view text);
// "oid_to_bucket"; otherwise Error::invalid_value("Unknown delete method: " + text).
Result<DeleteMethod> parse_delete_method(std::string_view text);
// "bentley_saxe:<rebuild>"; otherwise Error::invalid_value("Unknown compaction strategy: " + text).
Result<CompactionStrategy> parse_compaction_strategy(std::string_view text);
// "no_retrain" | "from_scratch"; otherwise Error::invalid_value("Invalid retrain strategy").
Result<RetrainStrategy> parse_retrain_strategy(std::string_view text);
// "cpu" | "gpu:<n>" (decimal, optional single '+', fits in 64 bits);
// otherwise Error::invalid_value("Invalid device type").
Result<ModelDevice> parse_device(std::string_view text);

// Variant names ("l2", "no_rebuild", ...). The compaction strategy's text form is
// "bentley_saxe:<rebuild>", the device's "cpu" or "gpu:<n>".
std::string to_text(DistanceFn v);
std::string to_text(DeleteMethod v);
std::string to_text(RebuildStrategy v);
std::string to_text(CompactionStrategy v);
std::string to_text(RetrainStrategy v);
std::string to_text(ModelDevice v);

}  // namespace quillmere
