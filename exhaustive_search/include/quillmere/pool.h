// The process-wide worker pool: one oneTBB arena shared by the exact search and k-means.
//
// Run parallel work as:  quillmere::pool::arena().execute([&] { tbb::parallel_for(...); });
// A task already running in the arena may start more parallel work (no deadlock), and an
// exception thrown by a task reaches the caller of execute().
#pragma once

#include <cstddef>
#include <expected>
#include <string>

#include <tbb/task_arena.h>

namespace quillmere::pool {

// Fix the number of workers (the calling thread counts as one). Possible only before the
// pool's first use (the first call of arena()); afterwards, or for 0 or an absurd count,
// returns an explanation.
std::expected<void, std::string> set_thread_count(std::size_t n);

// Workers of the process-wide pool: the count set above, else as many as the cores this
// process may run on.
std::size_t thread_count();

// The process-wide arena, created on first use and kept until the process ends.
tbb::task_arena& arena();

}  // namespace quillmere::pool
