// Times the level classifier over a raw little-endian f32 file of rows x dims values:
// training a level (sample, k-means labels, Adam), placing every row, and ranking the
// buckets for single queries beside the bare matrix-vector products that ranking needs.
// Usage: model_bench <file> <rows> <dims> <buckets> <hidden> <threads> <repeats> <queries>
// Prints "<name>=<value>" lines, one per repeat, after one untimed warm-up round:
//   labels=<s>  (sample + k-means labels, as training does them)
//   train=<s>   (the whole training of a fresh model)
//   place=<s>   (predict_labels over all rows)
//   predict_us=<µs per query>, bare_torch_us=<µs>, bare_kernel_us=<µs>
#include <ATen/ATen.h>
#include <ATen/Parallel.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "quillmere/blocks.h"
#include "quillmere/bucket_model.h"
#include "quillmere/clustering.h"
#include "quillmere/sampling.h"

using namespace quillmere;
using Clock = std::chrono::steady_clock;

static double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

int main(int argc, char** argv) {
  if (argc < 9) {
    std::fprintf(stderr, "usage: %s <file> <rows> <dims> <buckets> <hidden> <threads> <repeats> <queries>\n", argv[0]);
    return 2;
  }
  const std::uint64_t rows = std::strtoull(argv[2], nullptr, 10);
  const std::uint64_t dims = std::strtoull(argv[3], nullptr, 10);
  const std::uint64_t buckets = std::strtoull(argv[4], nullptr, 10);
  const std::uint64_t hidden = std::strtoull(argv[5], nullptr, 10);
  const int threads = std::atoi(argv[6]);
  const int repeats = std::atoi(argv[7]);
  const std::uint64_t queries = std::min<std::uint64_t>(std::strtoull(argv[8], nullptr, 10), rows);
  if (threads > 0) at::set_num_threads(threads);

  std::vector<float> values(rows * dims);
  std::ifstream in(argv[1], std::ios::binary);
  if (!in.read(reinterpret_cast<char*>(values.data()), static_cast<std::streamsize>(values.size() * sizeof(float)))) {
    std::fprintf(stderr, "cannot read %llu values from %s\n", static_cast<unsigned long long>(values.size()), argv[1]);
    return 1;
  }

  BucketModelBuilder b;
  b.input_nodes = dims;
  b.labels = buckets;
  b.device = ModelDevice::cpu();
  b.label_method = DistanceFn::dot;
  b.layers = {ModelLayer::linear(hidden), ModelLayer::relu()};
  const TrainParams tp;
  const std::uint64_t sample_size = std::min(std::max(tp.threshold_samples, 40 * buckets), rows);

  // Bare products: the two matrix-vector products of one query, through libtorch and through
  // the kernel ranking uses, on parameters of the model's shapes.
  at::Tensor w0 = at::rand({static_cast<std::int64_t>(hidden), static_cast<std::int64_t>(dims)});
  at::Tensor b0 = at::rand({static_cast<std::int64_t>(hidden)});
  at::Tensor w1 = at::rand({static_cast<std::int64_t>(buckets), static_cast<std::int64_t>(hidden)});
  at::Tensor b1 = at::rand({static_cast<std::int64_t>(buckets)});
  std::vector<float> h(hidden), z(buckets);

  for (int r = -1; r < repeats; ++r) {
    auto t = Clock::now();
    auto s = sample(values, sample_size, dims);
    auto labels = s ? compute_labels(*s, DistanceFn::dot, buckets, dims, tp.max_iters)
                    : Result<std::vector<std::uint64_t>>(std::unexpected(s.error()));
    const double labels_s = seconds_since(t);
    if (!labels) {
      std::fprintf(stderr, "labels: %s\n", labels.error().message().c_str());
      return 1;
    }

    auto model = BucketModel::create(b);
    if (!model) {
      std::fprintf(stderr, "create: %s\n", model.error().message().c_str());
      return 1;
    }
    t = Clock::now();
    auto trained = model->train(values);
    const double train_s = seconds_since(t);
    if (!trained) {
      std::fprintf(stderr, "train: %s\n", trained.error().message().c_str());
      return 1;
    }

    t = Clock::now();
    auto placed = model->predict_labels(values);
    const double place_s = seconds_since(t);
    if (!placed) return 1;

    t = Clock::now();
    std::uint64_t sink = 0;
    for (std::uint64_t q = 0; q < queries; ++q) {
      auto ranked = model->predict(std::span<const float>(values).subspan(q * dims, dims));
      sink += (*ranked)[0].first;
    }
    const double predict_us = seconds_since(t) * 1e6 / static_cast<double>(queries);

    double torch_us;
    {
      at::InferenceMode guard;
      t = Clock::now();
      for (std::uint64_t q = 0; q < queries; ++q) {
        at::Tensor x = at::from_blob(values.data() + q * dims, {static_cast<std::int64_t>(dims)});
        at::Tensor y = at::addmv(b1, w1, at::relu(at::addmv(b0, w0, x)));
        sink += y.numel();
      }
      torch_us = seconds_since(t) * 1e6 / static_cast<double>(queries);
    }

    t = Clock::now();
    for (std::uint64_t q = 0; q < queries; ++q) {
      quillmere::kernels::affine_f32(w0.data_ptr<float>(), b0.data_ptr<float>(), values.data() + q * dims, h.data(),
                    static_cast<std::int64_t>(hidden), static_cast<std::int64_t>(dims));
      for (float& v : h) v = std::max(v, 0.0f);
      quillmere::kernels::affine_f32(w1.data_ptr<float>(), b1.data_ptr<float>(), h.data(), z.data(), static_cast<std::int64_t>(buckets),
                    static_cast<std::int64_t>(hidden));
      sink += z[0] > 0;
    }
    const double kernel_us = seconds_since(t) * 1e6 / static_cast<double>(queries);

    if (r >= 0) {
      std::printf("labels=%.6f\ntrain=%.6f\nplace=%.6f\npredict_us=%.3f\nbare_torch_us=%.3f\nbare_kernel_us=%.3f\n",
                  labels_s, train_s, place_s, predict_us, torch_us, kernel_us);
    }
    if (sink == 42) std::printf("#\n");
    std::fflush(stdout);
  }
  return 0;
}
