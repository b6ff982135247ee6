#include "quillmere/text_forms.h"

#include <charconv>
#include <optional>

namespace quillmere {

namespace {

// The variant that `names` gives `text`, if any.
template <class E, std::size_t N>
std::optional<E> variant(const std::array<std::string_view, N>& names, std::string_view text) {
  for (std::size_t i = 0; i < N; ++i)
    if (names[i] == text) return static_cast<E>(i);
  return std::nullopt;
}

template <class E, std::size_t N>
std::string name(const std::array<std::string_view, N>& names, E v) {
  return std::string(names[static_cast<std::size_t>(v)]);
}

// What follows "<head>:" in `text`, if `text` starts so.
std::optional<std::string_view> after(std::string_view text, std::string_view head) {
  if (!text.starts_with(head) || !text.substr(head.size()).starts_with(':')) return std::nullopt;
  return text.substr(head.size() + 1);
}

}  // namespace

Result<DistanceFn> parse_distance_fn(std::string_view text) {
  if (auto v = variant<DistanceFn>(kDistanceFnNames, text)) return *v;
  return fail(Error::invalid_value("Unknown distance function: " + std::string(text)));
}

Result<DeleteMethod> parse_delete_method(std::string_view text) {
  if (auto v = variant<DeleteMethod>(kDeleteMethodNames, text)) return *v;
  return fail(Error::invalid_value("Unknown delete method: " + std::string(text)));
}

Result<CompactionStrategy> parse_compaction_strategy(std::string_view text) {
  if (auto rebuild = after(text, kCompactionStrategyNames[0]))
    if (auto v = variant<RebuildStrategy>(kRebuildStrategyNames, *rebuild)) return CompactionStrategy{*v};
  return fail(Error::invalid_value("Unknown compaction strategy: " + std::string(text)));
}

Result<RetrainStrategy> parse_retrain_strategy(std::string_view text) {
  if (auto v = variant<RetrainStrategy>(kRetrainStrategyNames, text)) return *v;
  return fail(Error::invalid_value("Invalid retrain strategy"));
}

Result<ModelDevice> parse_device(std::string_view text) {
  auto bad = [] { return fail(Error::invalid_value("Invalid device type")); };
  if (text == kModelDeviceNames[0]) return ModelDevice::cpu();
  auto rest = after(text, kModelDeviceNames[1]);
  if (!rest) return bad();
  std::string_view number = *rest;
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

std::string to_text(DistanceFn v) { return name(kDistanceFnNames, v); }

std::string to_text(DeleteMethod v) { return name(kDeleteMethodNames, v); }

std::string to_text(RebuildStrategy v) { return name(kRebuildStrategyNames, v); }

std::string to_text(CompactionStrategy v) {
  return std::string(kCompactionStrategyNames[0]) + ":" + to_text(v.rebuild_strategy);
}

std::string to_text(RetrainStrategy v) { return name(kRetrainStrategyNames, v); }

std::string to_text(ModelDevice v) {
  const std::string kind = name(kModelDeviceNames, v.kind);
  return v.kind == ModelDevice::Kind::cpu ? kind : kind + ":" + std::to_string(v.number);
}

}  // namespace quillmere
