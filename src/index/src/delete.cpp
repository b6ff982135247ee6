// Delete by id and the rebuilds that refill a level left underfull by deletes.
#include <algorithm>
#include <stdexcept>
#include <string>

#include "quillmere/checked.h"
#include "quillmere/index.h"
#include "quillmere/log.h"
#include "quillmere/timer.h"

namespace quillmere {
namespace {

constexpr const char* kTarget = "quillmere::index";

using Removed = std::optional<RemovedRecord>;

std::string join_levels(std::span<const std::uint64_t> levels) {
  std::string out;
  for (std::size_t i = 0; i < levels.size(); ++i) {
    if (i > 0) out += ',';
    out += std::to_string(levels[i]);
  }
  return out;
}

}  // namespace

Result<Removed> Index::remove(std::uint32_t id) {
  ScopedTimer timer(kTarget, "delete");

  // The buffer holds the newest records: it is searched first and never triggers a rebuild.
  const auto& buffer_ids = buffer_.ids();
  if (auto it = std::find(buffer_ids.begin(), buffer_ids.end(), id); it != buffer_ids.end()) {
    auto removed = buffer_.remove_at(static_cast<std::uint64_t>(it - buffer_ids.begin()));
    if (!removed) return fail(removed.error());
    return Removed{std::move(*removed)};
  }

  auto found = delete_from_level(id);
  if (!found) return fail(found.error());
  if (!*found) return Removed{};
  auto& [level_idx, record] = **found;

  QM_DEBUG(kTarget, "index:delete", {{"level_idx", level_idx}, {"id", std::uint64_t{id}}});

  // Less than one arity-th full, for a level made by compaction. Saturating, so that a
  // huge level or arity counts as underfull instead of wrapping to a tiny threshold.
  const LevelIndex& level = levels_[level_idx];
  const std::uint64_t threshold =
      saturating_mul(saturating_pow(arity_, static_cast<std::uint32_t>(level_idx)), level.bucket_size());
  if (level.occupied() < threshold) {
    if (auto r = rebuild(compaction_strategy_.rebuild_strategy, level_idx); !r) return fail(r.error());
  }
  return Removed{std::move(record)};
}

Result<std::optional<std::pair<std::uint64_t, RemovedRecord>>> Index::delete_from_level(std::uint32_t id) {
  ScopedTimer timer(kTarget, "delete_from_level");
  using Found = std::optional<std::pair<std::uint64_t, RemovedRecord>>;
  for (std::uint64_t i = 0; i < levels_.size(); ++i) {
    auto removed = levels_[i].remove(id);
    if (!removed) return fail(removed.error());
    if (*removed) return Found{std::pair{i, std::move(**removed)}};
  }
  return Found{};
}

Result<void> Index::rebuild(RebuildStrategy strategy, std::uint64_t level_idx) {
  ScopedTimer timer(kTarget, "rebuild");
  if (level_idx >= levels_.size()) return fail(Error::assertion("assertion failed: level_idx < index.levels.len()"));

  const std::uint64_t occ = levels_[level_idx].occupied();
  QM_DEBUG(kTarget, "index:rebuild", {{"level_idx", level_idx}, {"occupied", occ}});

  switch (strategy) {
    case RebuildStrategy::no_rebuild:
      QM_DEBUG(kTarget, "index:no_rebuild", {});
      return {};

    case RebuildStrategy::basic_rebuild: {
      QM_DEBUG(kTarget, "index:basic_rebuild", {});
      const auto plan = find_rebuild_target(level_idx, occ);
      if (!plan) return move_buffer_to_level(level_idx, occ);
      const auto [from, to] = *plan;
      // Only the fallback (L-1, L) is planned without a room test; when L-1 does not
      // fit into L (arity 1, or an overfull level) both levels stay as they are.
      if (levels_[from].occupied() > levels_[to].free_space()) return {};
      const std::uint64_t sources[] = {from};
      return move_data(sources, to);
    }

    case RebuildStrategy::greedy_rebuild: {
      QM_DEBUG(kTarget, "index:greedy_rebuild", {});
      const auto plan = find_rebuild_target(level_idx, occ);
      if (!plan) return move_buffer_to_level(level_idx, occ);
      const auto [from, to] = *plan;

      // Gather the planned source, then the levels below the target from the nearest
      // down, each that holds records and still fits with those already gathered into
      // the target's room as it was before the move.
      const std::uint64_t room = levels_[to].free_space();
      std::vector<std::uint64_t> sources;
      std::uint64_t gathered = 0;
      auto consider = [&](std::uint64_t i) -> Result<void> {
        const std::uint64_t n = levels_[i].occupied();
        if (n == 0 || n > room - gathered) return {};
        try {
          sources.push_back(i);
        } catch (const std::exception& e) {
          return fail(exception_error(e, "the list of source levels"));
        }
        gathered += n;
        return {};
      };
      if (auto r = consider(from); !r) return r;
      for (std::uint64_t i = to; i-- > 0;) {
        if (i == from) continue;
        if (auto r = consider(i); !r) return r;
      }
      return move_data(sources, to);
    }
  }
  return fail(Error::assertion("assertion failed: unknown rebuild strategy"));
}

std::optional<std::pair<std::uint64_t, std::uint64_t>> Index::find_rebuild_target(std::uint64_t level_idx,
                                                                                  std::uint64_t occupied) const {
  const std::uint64_t n = levels_.size();
  if (level_idx >= n) return std::nullopt;
  // Only a non-empty level with room is a larger target: an empty one would be
  // refilled by the next compaction anyway.
  for (std::uint64_t j = level_idx + 1; j < n; ++j) {
    if (levels_[j].occupied() > 0 && levels_[j].free_space() >= occupied) return std::pair{level_idx, j};
  }
  if (level_idx == 0) return std::nullopt;
  if (levels_[level_idx - 1].free_space() >= occupied) return std::pair{level_idx, level_idx - 1};
  return std::pair{level_idx - 1, level_idx};
}

Result<void> Index::move_data(std::span<const std::uint64_t> from_level_idxs, std::uint64_t to_level_idx) {
  QM_DEBUG(kTarget, "index:move_data", {{"source_levels", join_levels(from_level_idxs)}, {"to_level", to_level_idx}});

  if (to_level_idx >= levels_.size())
    return fail(Error::assertion("assertion failed: to_level_idx < index.levels.len()"));
  std::uint64_t from_occ = 0;
  for (std::size_t k = 0; k < from_level_idxs.size(); ++k) {
    const std::uint64_t i = from_level_idxs[k];
    if (i >= levels_.size()) return fail(Error::assertion("assertion failed: from_level_idx < index.levels.len()"));
    if (i == to_level_idx) return fail(Error::assertion("assertion failed: from_level_idx != to_level_idx"));
    if (std::find(from_level_idxs.begin(), from_level_idxs.begin() + k, i) != from_level_idxs.begin() + k)
      return fail(Error::assertion("assertion failed: every source level is distinct"));
    from_occ = saturating_add(from_occ, levels_[i].occupied());
  }
  if (from_occ > levels_[to_level_idx].free_space())
    return fail(Error::assertion("assertion failed: from_levels_occupied <= index.levels[to_level_idx].free_space()"));
  const std::uint64_t to_occ = levels_[to_level_idx].occupied();

  // Take the sources out whole, so that a failed insert can put every record back
  // exactly where it was, id maps included.
  std::vector<LevelContents> taken;
  try {
    taken.reserve(from_level_idxs.size());
  } catch (const std::exception& e) {
    return fail(exception_error(e, "the bookkeeping of a rebuild"));
  }
  auto restore = [&]() noexcept {
    for (std::size_t k = 0; k < taken.size(); ++k) levels_[from_level_idxs[k]].restore_contents(std::move(taken[k]));
  };
  for (std::uint64_t i : from_level_idxs) {
    auto contents = levels_[i].take_contents();
    if (!contents) {
      restore();
      return fail(contents.error());
    }
    taken.push_back(std::move(*contents));
  }

  // Same order as draining each source in list order: bucket order, storage order. Read in
  // place, as a compaction reads its sources: a rebuild may move whole levels.
  ContentParts parts;
  try {
    parts = content_parts(taken);
  } catch (const std::exception& e) {
    restore();
    return fail(exception_error(e, "the list of a rebuild's sources"));
  }

  if (auto r = levels_[to_level_idx].insert_parts(parts.records, parts.ids); !r) {
    restore();
    return fail(r.error());
  }

  for (std::uint64_t i : from_level_idxs)
    if (levels_[i].occupied() != 0)
      return fail(Error::assertion("assertion failed: index.levels[from_level_idx].occupied() == 0"));
  if (levels_[to_level_idx].occupied() != from_occ + to_occ)
    return fail(Error::assertion(
        "assertion failed: index.levels[to_level_idx].occupied() == from_levels_occupied + to_level_occupied"));
  return {};
}

Result<void> Index::move_buffer_to_level(std::uint64_t level_idx, std::uint64_t level_occupied) {
  if (level_idx >= levels_.size()) return fail(Error::assertion("assertion failed: level_idx < index.levels.len()"));
  const std::uint64_t buffer_occ = buffer_.occupied();
  auto drained = buffer_.drain();
  if (!drained) return fail(drained.error());

  // No room test: the level may end above its total size.
  if (auto r = levels_[level_idx].insert_many(drained->records(), drained->ids()); !r) {
    buffer_.put_back(std::move(*drained));
    return fail(r.error());
  }

  if (buffer_.occupied() != 0) return fail(Error::assertion("assertion failed: index.buffer.occupied() == 0"));
  if (levels_[level_idx].occupied() != level_occupied + buffer_occ)
    return fail(Error::assertion(
        "assertion failed: index.levels[level_idx].occupied() == level_occupied + buffer_occupied"));
  return {};
}

}  // namespace quillmere
