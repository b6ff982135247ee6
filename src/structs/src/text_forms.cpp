#include "quillmere/text_forms.h"

#include <charconv>

namespace quillmere {

Result<DistanceFn> parse_distance_fn(std::string_view text) {
  if (text == "l2") return DistanceFn::l2;
  if (text == "dot") return DistanceFn::dot;
  return fail(Error::invalid_value("Unknown distance function: " + std::string(text)));
}

Result<DeleteMethod> parse_delete_method(std::string_view text) {
  if (text == "oid_to_bucket") return DeleteMethod::oid_to_bucket;
  return fail(Error::invalid_value("Unknown delete method: " + std::string(text)));
}

Result<CompactionStrategy> parse_compaction_strategy(std::string_view text) {
  if (text == "bentley_saxe:no_rebuild") return CompactionStrategy{RebuildStrategy::no_rebuild};
  if (text == "bentley_saxe:basic_rebuild") return CompactionStrategy{RebuildStrategy::basic_rebuild};
  if (text == "bentley_saxe:greedy_rebuild") return CompactionStrategy{RebuildStrategy::greedy_rebuild};
  return fail(Error::invalid_value("Unknown compaction strategy: " + std::string(text)));
}

Result<RetrainStrategy> parse_retrain_strategy(std::string_view text) {
  if (text == "no_retrain") return RetrainStrategy::no_retrain;
  if (text == "from_scratch") return RetrainStrategy::from_scratch;
  return fail(Error::invalid_value("Invalid retrain strategy"));
}

Result<ModelDevice> parse_device(std::string_view text) {
  auto bad = [] { return fail(Error::invalid_value("Invalid device type")); };
  if (text == "cpu") return ModelDevice::cpu();
  if (text.size() <= 3 || !text.starts_with("gpu:")) return bad();
  std::string_view number = text.substr(4);
  if (number.find(':') != std::string_view::npos) return bad();  // more than two parts
  if (number.starts_with('+')) number.remove_prefix(1);
  if (number.empty()) return bad();
  for (char c : number)
    if (c < '0' || c > '9') return bad();
  std::uint64_t n = 0;
  auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), n);
  if (ec != std::errc() || end != number.data() + number.size()) return bad();
  return ModelDevice::gpu(n);
}

std::string to_text(DistanceFn v) { return v == DistanceFn::l2 ? "l2" : "dot"; }

std::string to_text(DeleteMethod) { return "oid_to_bucket"; }

std::string to_text(RebuildStrategy v) {
  switch (v) {
    case RebuildStrategy::no_rebuild: return "no_rebuild";
    case RebuildStrategy::basic_rebuild: return "basic_rebuild";
    case RebuildStrategy::greedy_rebuild: return "greedy_rebuild";
  }
  return "no_rebuild";
}

std::string to_text(CompactionStrategy v) { return "bentley_saxe:" + to_text(v.rebuild_strategy); }

std::string to_text(RetrainStrategy v) { return v == RetrainStrategy::no_retrain ? "no_retrain" : "from_scratch"; }

std::string to_text(ModelDevice v) {
  return v.kind == ModelDevice::Kind::cpu ? std::string("cpu") : "gpu:" + std::to_string(v.number);
}

}  // namespace quillmere
