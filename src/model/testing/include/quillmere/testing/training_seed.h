// For tests only: makes a classifier's training repeat itself, so a test that fails on a
// training fails the same way on every run. The library never seeds anything: libtorch's
// generator seeds itself once per process, and k-means draws from a per-thread generator the
// operating system seeds. Neither the module nor a configuration reaches this.
#pragma once

#include <cstdint>

namespace quillmere::test {

// Restarts libtorch's default generator (process-wide: initial parameters, epoch shuffles)
// and the calling thread's k-means generator (initial centroids, repair of empty clusters)
// from `seed`. Call it on the thread that trains, before the models are created.
void seed_training(std::uint64_t seed);

}  // namespace quillmere::test
