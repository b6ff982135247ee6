// Text forms of the configuration enumerations, as the builder's setters take
// them. Matching is exact and case-sensitive; no trimming.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "quillmere/config.h"
#include "quillmere/error.h"

namespace quillmere {

// Every enumeration's variant names, in declaration order: position i names the variant
// numbered i. The text forms, the YAML and JSON readers and the meta.json writer all take
// their names from here.
inline constexpr std::array<std::string_view, 2> kDistanceFnNames{"l2", "dot"};
inline constexpr std::array<std::string_view, 1> kDeleteMethodNames{"oid_to_bucket"};
inline constexpr std::array<std::string_view, 3> kRebuildStrategyNames{"no_rebuild", "basic_rebuild",
                                                                       "greedy_rebuild"};
inline constexpr std::array<std::string_view, 2> kRetrainStrategyNames{"no_retrain", "from_scratch"};
inline constexpr std::array<std::string_view, 1> kCompactionStrategyNames{"bentley_saxe"};
inline constexpr std::array<std::string_view, 2> kModelLayerNames{"linear", "relu"};
inline constexpr std::array<std::string_view, 2> kModelDeviceNames{"cpu", "gpu"};

static_assert(kDistanceFnNames.size() == static_cast<std::size_t>(DistanceFn::dot) + 1);
static_assert(kRebuildStrategyNames.size() == static_cast<std::size_t>(RebuildStrategy::greedy_rebuild) + 1);
static_assert(kRetrainStrategyNames.size() == static_cast<std::size_t>(RetrainStrategy::from_scratch) + 1);
static_assert(kModelLayerNames.size() == static_cast<std::size_t>(ModelLayer::Kind::relu) + 1);
static_assert(kModelDeviceNames.size() == static_cast<std::size_t>(ModelDevice::Kind::gpu) + 1);

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
