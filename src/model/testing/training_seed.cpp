#include "quillmere/testing/training_seed.h"

#include <ATen/Context.h>

#include <random>

#include "quillmere/testing/kmeans_generator.h"

namespace quillmere::test {

void seed_training(std::uint64_t seed) {
  at::manual_seed(seed);
  std::mt19937_64 words(seed);
  Xoshiro256pp::State state{words(), words(), words(), words()};
  if (state == Xoshiro256pp::State{}) state[0] = 1;  // an all-zero state only ever yields 0
  detail::kmeans_thread_generator() = Xoshiro256pp(state);
}

}  // namespace quillmere::test
