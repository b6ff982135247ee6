#include "quillmere/bucket_model.h"

#include <ATen/ATen.h>
#include <ATen/Parallel.h>
#include <torch/cuda.h>
#include <torch/optim/adam.h>

#include <dlfcn.h>
#include <pthread.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <memory>
#include <mutex>
#include <new>

#include "quillmere/blocks.h"
#include "quillmere/checked.h"
#include "quillmere/clustering.h"
#include "quillmere/interrupt.h"
#include "quillmere/log.h"
#include "quillmere/pool.h"
#include "quillmere/sampling.h"
#include "weights.h"

#ifdef _OPENMP
#include <omp.h>
#endif

namespace quillmere {
namespace {

constexpr const char* kLogTarget = "quillmere::model::tch_model";
// Least number of training rows per bucket before the cap at the number of records.
constexpr std::uint64_t SAMPLES_PER_BUCKET = 40;
// Rows per forward pass when placing many records: bounds the activations' memory.
constexpr std::int64_t kPlacementChunkRows = 8192;
// Rows per piece when the pool shares a placement: a few milliseconds of work each.
constexpr std::int64_t kPlacementPieceRows = 1024;
// Largest parameter tensor accepted (elements); far beyond any sane level.
constexpr std::uint64_t kMaxParameterElements = std::uint64_t{1} << 40;

enum class Stage { creation, use };

// The thread-count calls of the BLAS that libtorch's matrix products go through, when it is
// OpenBLAS: looked up in the library that defines the sgemm_ that libtorch calls (numpy may
// share it, or load a copy of its own), so the setting changed is the one our products use.
// Absent (another BLAS, or none) they are null and nothing is changed.
struct BlasThreadCalls {
  int (*get)() = nullptr;
  void (*set)(int) = nullptr;
};

const BlasThreadCalls& blas_thread_calls() {
  static const BlasThreadCalls calls = [] {
    BlasThreadCalls c;
    Dl_info info{};
    void* gemm = dlsym(RTLD_DEFAULT, "sgemm_");
    if (gemm == nullptr || dladdr(gemm, &info) == 0 || info.dli_fname == nullptr) return c;
    // The library is loaded already, and stays so: this only takes another reference.
    void* lib = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
    if (lib == nullptr) return c;
    auto* get = reinterpret_cast<int (*)()>(dlsym(lib, "openblas_get_num_threads"));
    auto* set = reinterpret_cast<void (*)(int)>(dlsym(lib, "openblas_set_num_threads"));
    if (get != nullptr && set != nullptr) c = {get, set};
    return c;
  }();
  return calls;
}

// OpenBLAS's thread count is one per process, so the calls that run inside it are counted:
// the first to enter saves the host's count and sets 1, the last to leave puts it back (unless
// the host set another meanwhile). While one runs, other threads' BLAS work is single-threaded.
std::mutex g_blas_mutex;
int g_blas_users = 0;
int g_blas_saved = 1;
// A child forked while calls ran has their count of 1 but not their threads, which would
// never leave: it keeps only the forking thread's own calls (a fork from inside one, by a
// log writer say), and the first call after the last of those puts the host's count back
// when it ends. (Nothing calls OpenBLAS in the fork handler itself.)
bool g_blas_owed = false;
thread_local int t_blas_users = 0;  // this thread's share of g_blas_users

void blas_before_fork() { g_blas_mutex.lock(); }
void blas_after_fork_parent() { g_blas_mutex.unlock(); }
void blas_after_fork_child() {
  if (g_blas_users > t_blas_users) g_blas_owed = true;
  g_blas_users = t_blas_users;
  g_blas_mutex.unlock();
}
[[maybe_unused]] const int g_blas_atfork = pthread_atfork(blas_before_fork, blas_after_fork_parent,
                                                          blas_after_fork_child);

// Runs libtorch's operations on this thread alone for the guard's life: its intra-op threads
// are OpenMP ones, counted per thread. A level's training steps and placement passes are too
// small for them: their fork/join costs more than the work, and their spinning workers crowd
// out the exact search's pool (measured on Fashion-MNIST: 60,000 inserts 5 to 8 times
// faster). Only this thread's count changes, and it is restored.
class OneOmpThread {
 public:
  OneOmpThread() {
#ifdef _OPENMP
    // libtorch sets a thread's count once, at its first parallel op; have that happen now
    // (through the library: the inline helper's flag is a copy of our own in this module).
    (void)at::get_num_threads();
    saved_ = omp_get_max_threads();
    omp_set_num_threads(1);
#endif
  }
  ~OneOmpThread() {
#ifdef _OPENMP
    omp_set_num_threads(saved_);
#endif
  }
  OneOmpThread(const OneOmpThread&) = delete;
  OneOmpThread& operator=(const OneOmpThread&) = delete;

 private:
  [[maybe_unused]] int saved_ = 1;
};

// Keeps OpenBLAS's own pool out of the products for the guard's life. Its workers wait by
// yielding: with it, 30,000 inserts spent 2 to 4 times their user CPU in the kernel on a
// quiet machine and ran 30 times slower beside one busy process per core; one thread placed
// 30,000 records in 65 ms, eight in 85 to 130 (load 12 on 8 cores). The host's count comes
// back when the last guard ends, so a host that uses numpy or libtorch keeps its own.
class OneBlasThread {
 public:
  OneBlasThread() {
    const BlasThreadCalls& blas = blas_thread_calls();
    if (blas.set == nullptr) return;
    std::lock_guard lock(g_blas_mutex);
    ++t_blas_users;
    if (g_blas_users++ == 0) {
      const int now = blas.get();
      // Still the 1 of the calls a fork cut off: the host's count is the one they saved.
      if (!(g_blas_owed && now == 1)) g_blas_saved = now;
      g_blas_owed = false;
      if (now != 1) blas.set(1);
    }
  }
  ~OneBlasThread() {
    const BlasThreadCalls& blas = blas_thread_calls();
    if (blas.set == nullptr) return;
    std::lock_guard lock(g_blas_mutex);
    --t_blas_users;
    if (--g_blas_users == 0 && g_blas_saved != 1 && blas.get() == 1) blas.set(g_blas_saved);
  }
  OneBlasThread(const OneBlasThread&) = delete;
  OneBlasThread& operator=(const OneBlasThread&) = delete;
};

// Set on a pool worker's piece of a placement when the caller was asked to stop.
struct PlacementStopped {};

// Turns whatever libtorch (or an allocation) threw into an Error.
Error current_exception_error(Stage stage) {
  std::string text;
  bool oom = false;
  try {
    throw;
  } catch (const c10::Error& e) {
    text = e.what_without_backtrace();
  } catch (const std::bad_alloc&) {
    text = "out of memory";
    oom = true;
  } catch (const std::exception& e) {
    text = e.what();
  } catch (...) {
    text = "unknown failure";
  }
  if (oom && stage == Stage::use) return Error::out_of_memory(text);
  return Error::model_creation(text);
}

struct LinearLayer {
  std::int64_t in = 0;
  std::int64_t out = 0;
  std::size_t weight = 0;  // position of "N.weight" in the parameter list; "N.bias" follows it
};

struct Op {
  bool linear = false;
  std::size_t index = 0;  // into the linear layers
};

// Sort key that orders probabilities from highest to lowest as unsigned integers, NaN last.
std::uint32_t descending_key(float f) {
  if (std::isnan(f)) return 0xFFFFFFFFu;
  const auto bits = std::bit_cast<std::uint32_t>(f);
  const std::uint32_t ascending = (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
  return ~ascending;
}

// Pairs every probability with its bucket, highest first, NaN last, equal ones by ascending
// bucket. Many buckets go through a stable radix sort: on the search path a comparison sort
// of a few hundred probabilities costs about as much as the forward pass itself.
std::vector<BucketProbability> ranked(const std::vector<float>& probs) {
  const std::size_t n = probs.size();
  // Key in the high half, bucket in the low half: ordering the words orders both.
  std::vector<std::uint64_t> a(n);
  for (std::size_t i = 0; i < n; ++i) a[i] = (std::uint64_t{descending_key(probs[i])} << 32) | i;
  if (n <= 64) {
    std::sort(a.begin(), a.end());
  } else {
    std::vector<std::uint64_t> b(n);
    std::uint32_t count[4][256] = {};
    for (std::uint64_t w : a) {
      for (int d = 0; d < 4; ++d) ++count[d][(w >> (32 + 8 * d)) & 0xFFu];
    }
    for (int d = 0; d < 4; ++d) {
      const int shift = 32 + 8 * d;
      std::uint32_t* c = count[d];
      if (c[(a[0] >> shift) & 0xFFu] == n) continue;  // every key shares this digit
      std::uint32_t sum = 0;
      for (std::uint32_t& x : std::span(c, 256)) sum += std::exchange(x, sum);
      for (std::uint64_t w : a) b[c[(w >> shift) & 0xFFu]++] = w;
      a.swap(b);
    }
  }
  std::vector<BucketProbability> out(n);
  for (std::size_t k = 0; k < n; ++k) {
    const auto bucket = static_cast<std::uint32_t>(a[k]);
    out[k] = {bucket, probs[bucket]};
  }
  return out;
}

}  // namespace

struct BucketModel::Impl {
  ModelDevice device;
  at::Device torch_device{at::kCPU};
  std::vector<ModelLayer> layers;
  TrainParams train_params;
  std::uint64_t labels = 0;
  std::uint64_t input_shape = 0;
  DistanceFn label_method = DistanceFn::dot;

  detail::NamedTensors params;  // creation order: "0.weight", "0.bias", "2.weight", ...
  std::vector<LinearLayer> linears;
  std::vector<Op> ops;
  std::int64_t max_width = 0;

  const at::Tensor& weight(const LinearLayer& l) const { return params[l.weight].second; }
  const at::Tensor& bias(const LinearLayer& l) const { return params[l.weight + 1].second; }
  bool on_cpu() const { return device.kind == ModelDevice::Kind::cpu; }

  at::Tensor forward(at::Tensor x) const {
    for (const Op& op : ops) {
      if (op.linear) {
        const LinearLayer& l = linears[op.index];
        x = at::linear(x, weight(l), bias(l));
      } else {
        x = at::relu(x);
      }
    }
    return x;
  }

  // Forward pass without autograd: relu works in place on activations the pass made itself.
  at::Tensor infer(at::Tensor x) const {
    bool owned = false;
    for (const Op& op : ops) {
      if (op.linear) {
        const LinearLayer& l = linears[op.index];
        x = at::addmm(bias(l), x, weight(l).t());
        owned = true;
      } else if (owned) {
        x.relu_();
      } else {
        x = at::relu(x);
        owned = true;
      }
    }
    return x;
  }

  // Host-side forward pass of one query; the parameters are contiguous f32 on the host.
  std::vector<float> host_logits(std::span<const float> query) const {
    const auto scratch = std::make_unique_for_overwrite<float[]>(2 * static_cast<std::size_t>(max_width));
    float* buffers[2] = {scratch.get(), scratch.get() + max_width};
    int next = 0;
    const float* cur = query.data();
    std::int64_t width = static_cast<std::int64_t>(input_shape);
    for (const Op& op : ops) {
      float* dst = buffers[next];
      if (op.linear) {
        const LinearLayer& l = linears[op.index];
        kernels::affine_f32(weight(l).data_ptr<float>(), bias(l).data_ptr<float>(), cur, dst, l.out, l.in);
        width = l.out;
      } else {
        // std::max keeps a NaN, as libtorch's relu does.
        for (std::int64_t i = 0; i < width; ++i) dst[i] = std::max(cur[i], 0.0f);
      }
      cur = dst;
      next ^= 1;
    }
    return std::vector<float>(cur, cur + labels);
  }

  std::vector<float> device_probabilities(std::span<const float> query) const {
    at::Tensor x = at::from_blob(const_cast<float*>(query.data()), {static_cast<std::int64_t>(query.size())}, at::kFloat)
                       .to(torch_device);
    at::Tensor p = at::softmax(forward(x), -1, at::kFloat).to(at::kCPU).contiguous();
    const float* v = p.data_ptr<float>();
    return std::vector<float>(v, v + p.numel());
  }

  std::pair<at::Tensor, at::Tensor> training_tensors(std::span<const float> values,
                                                     std::span<const std::uint64_t> sample_labels) const;
};

namespace {

void softmax_in_place(std::vector<float>& v) {
  float m = -std::numeric_limits<float>::infinity();
  bool nan = false;
  for (float x : v) {
    if (std::isnan(x)) nan = true;
    else m = std::max(m, x);
  }
  if (nan) {
    std::fill(v.begin(), v.end(), std::numeric_limits<float>::quiet_NaN());
    return;
  }
  float sum = 0.0f;
  for (float& x : v) {
    x = std::exp(x - m);
    sum += x;
  }
  const float inv = 1.0f / sum;
  for (float& x : v) x *= inv;
}

Result<at::Device> torch_device_of(const ModelDevice& d) {
  if (d.kind == ModelDevice::Kind::cpu) return at::Device(at::kCPU);
  if (!torch::cuda::is_available()) {
    return fail(Error::model_creation("cannot use gpu " + std::to_string(d.number) +
                                      ": this libtorch has no usable CUDA device"));
  }
  const std::uint64_t count = torch::cuda::device_count();
  if (d.number >= count || d.number > static_cast<std::uint64_t>(std::numeric_limits<c10::DeviceIndex>::max())) {
    return fail(Error::model_creation("cannot use gpu " + std::to_string(d.number) + ": there are " +
                                      std::to_string(count) + " CUDA devices"));
  }
  return at::Device(at::kCUDA, static_cast<c10::DeviceIndex>(d.number));
}

std::optional<std::int64_t> as_width(std::uint64_t w) {
  if (w == 0 || w > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) return std::nullopt;
  return static_cast<std::int64_t>(w);
}

}  // namespace

std::pair<at::Tensor, at::Tensor> BucketModel::Impl::training_tensors(std::span<const float> values,
                                                                     std::span<const std::uint64_t> sample_labels) const {
  const auto width = static_cast<std::int64_t>(input_shape);
  const auto rows = static_cast<std::int64_t>(values.size() / input_shape);
  at::Tensor xs = at::from_blob(const_cast<float*>(values.data()), {rows, width}, at::kFloat).to(torch_device);
  // Labels are cluster numbers, far below 2^63.
  at::Tensor ys = at::from_blob(const_cast<std::uint64_t*>(sample_labels.data()),
                                {static_cast<std::int64_t>(sample_labels.size())}, at::kLong)
                      .to(torch_device, /*non_blocking=*/false, /*copy=*/true);
  return {xs, ys};
}

BucketModel::BucketModel(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}
BucketModel::BucketModel(BucketModel&&) noexcept = default;
BucketModel& BucketModel::operator=(BucketModel&&) noexcept = default;
BucketModel::~BucketModel() = default;

Result<BucketModel> BucketModel::create(const BucketModelBuilder& builder) {
  if (!builder.device) return fail(Error::model_creation("device"));
  if (!builder.label_method) return fail(Error::model_creation("label_method"));
  if (!builder.input_nodes) return fail(Error::model_creation("input_nodes"));
  if (!builder.labels) return fail(Error::model_creation("labels"));
  if (*builder.labels == 0) return fail(Error::model_creation("labels must be greater than 0"));

  auto input = as_width(*builder.input_nodes);
  if (!input) return fail(Error::model_creation("input_nodes must be between 1 and 2147483647"));
  auto outputs = as_width(*builder.labels);
  if (!outputs) return fail(Error::model_creation("labels must be at most 2147483647"));

  auto impl = std::make_unique<Impl>();
  impl->device = *builder.device;
  impl->layers = builder.layers;
  impl->train_params = builder.train_params.value_or(TrainParams{});
  impl->labels = *builder.labels;
  impl->input_shape = *builder.input_nodes;
  impl->label_method = *builder.label_method;

  // The plan: which linear layers exist, their widths and names.
  std::int64_t width = *input;
  impl->max_width = std::max(*input, *outputs);
  auto add_linear = [&](std::int64_t out) -> Result<void> {
    auto elements = checked_mul(static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(out));
    if (!elements || *elements > kMaxParameterElements) {
      return fail(Error::model_creation("a linear layer of " + std::to_string(width) + " x " + std::to_string(out) +
                                        " is too large"));
    }
    impl->ops.push_back({true, impl->linears.size()});
    impl->linears.push_back({width, out, impl->linears.size() * 2});
    width = out;
    impl->max_width = std::max(impl->max_width, out);
    return {};
  };
  for (const ModelLayer& layer : builder.layers) {
    if (layer.kind == ModelLayer::Kind::relu) {
      impl->ops.push_back({false, 0});
      continue;
    }
    auto w = as_width(layer.width);
    if (!w) return fail(Error::model_creation("linear layer width must be between 1 and 2147483647"));
    if (auto r = add_linear(*w); !r) return fail(r.error());
  }
  if (auto r = add_linear(*outputs); !r) return fail(r.error());

  auto device = torch_device_of(impl->device);
  if (!device) return fail(device.error());
  impl->torch_device = *device;

  try {
    // Parameters must stay trainable whatever mode the calling thread is in.
    c10::InferenceMode not_inference(false);
    at::NoGradGuard no_grad;
    const auto opts = at::TensorOptions().dtype(at::kFloat).device(impl->torch_device);
    for (std::size_t j = 0; j < impl->linears.size(); ++j) {
      const LinearLayer& l = impl->linears[j];
      const std::string name = std::to_string(2 * j);
      // Kaiming-uniform with the ReLU gain for weights; biases within 1/sqrt(fan-in).
      const double fan_in = static_cast<double>(l.in);
      const double wb = std::sqrt(6.0 / fan_in), bb = 1.0 / std::sqrt(fan_in);
      at::Tensor w = at::empty({l.out, l.in}, opts).uniform_(-wb, wb);
      at::Tensor b = at::empty({l.out}, opts).uniform_(-bb, bb);
      w.set_requires_grad(true);
      b.set_requires_grad(true);
      impl->params.emplace_back(name + ".weight", std::move(w));
      impl->params.emplace_back(name + ".bias", std::move(b));
    }
  } catch (...) {
    return fail(current_exception_error(Stage::creation));
  }

  if (builder.weights_path) {
    auto loaded = detail::load_weights(*builder.weights_path, impl->params);
    if (!loaded) return fail(Error::model_creation(loaded.error()));
  }
  return BucketModel(std::move(impl));
}

Result<std::vector<BucketProbability>> BucketModel::predict(std::span<const float> query) const {
  const Impl& m = *impl_;
  if (query.size() != m.input_shape) {
    return fail(Error::invalid_value("query has " + std::to_string(query.size()) + " values, the model expects " +
                                     std::to_string(m.input_shape)));
  }
  try {
    std::vector<float> probs;
    if (m.on_cpu()) {
      probs = m.host_logits(query);
      softmax_in_place(probs);
    } else {
      at::InferenceMode inference;
      probs = m.device_probabilities(query);
    }
    return ranked(probs);
  } catch (...) {
    return fail(current_exception_error(Stage::use));
  }
}

Result<std::vector<std::uint64_t>> BucketModel::predict_labels(std::span<const float> records) const {
  const Impl& m = *impl_;
  if (records.size() % m.input_shape != 0) {
    return fail(Error::invalid_value("records hold " + std::to_string(records.size()) +
                                     " values, not a multiple of the input width " + std::to_string(m.input_shape)));
  }
  const auto width = static_cast<std::int64_t>(m.input_shape);
  const auto n = static_cast<std::int64_t>(records.size() / m.input_shape);
  try {
    std::vector<std::uint64_t> out(static_cast<std::size_t>(n));
    OneBlasThread one_blas_thread;
    // Places rows [begin, end) on the calling thread or a pool worker, each a single thread.
    auto place = [&](std::int64_t begin, std::int64_t end) {
      OneOmpThread one_thread;
      at::InferenceMode inference;
      at::Tensor x = at::from_blob(const_cast<float*>(records.data()) + begin * width, {end - begin, width}, at::kFloat)
                         .to(m.torch_device);
      at::Tensor best = m.infer(x).argmax(1).to(at::kCPU).contiguous();
      const std::int64_t* idx = best.data_ptr<std::int64_t>();
      for (std::int64_t i = begin; i < end; ++i) out[static_cast<std::size_t>(i)] = static_cast<std::uint64_t>(idx[i - begin]);
    };
    if (!m.on_cpu()) {
      for (std::int64_t start = 0; start < n; start += kPlacementChunkRows) {
        if (interrupted()) return fail(interrupted_error());
        place(start, std::min(start + kPlacementChunkRows, n));
      }
      return out;
    }
    // On the host, pieces go to the pool: the caller takes them from the start and workers
    // join while they have a core, so a busy machine places on the calling thread alone.
    // (30,000 records of 784 values into 9 buckets, load 5 on 8 cores: 12 to 25 ms, against
    // 56 to 62 ms on one thread.)
    if (n == 0) return out;
    const auto pieces = static_cast<std::size_t>((n + kPlacementPieceRows - 1) / kPlacementPieceRows);
    try {
      pool::share(static_cast<std::size_t>(n), static_cast<std::size_t>(kPlacementPieceRows), pieces - 1,
                  [&](std::size_t slot, std::size_t begin, std::size_t end) {
                    if (slot == 0 && interrupted()) throw PlacementStopped{};
                    place(static_cast<std::int64_t>(begin), static_cast<std::int64_t>(end));
                  });
    } catch (const PlacementStopped&) {
      return fail(interrupted_error());
    }
    return out;
  } catch (...) {
    return fail(current_exception_error(Stage::use));
  }
}

Result<ModelConfig> BucketModel::save_weights(const std::string& path) const {
  auto saved = detail::save_weights(path, impl_->params);
  if (!saved) return fail(Error::model_creation(saved.error()));
  return ModelConfig{impl_->layers, impl_->train_params, path};
}

Result<void> BucketModel::train(std::span<const float> records) { return train_parts(std::span(&records, 1)); }

Result<void> BucketModel::train_parts(std::span<const std::span<const float>> parts) {
  Impl& m = *impl_;
  const TrainParams& tp = m.train_params;
  std::uint64_t values = 0;
  for (const auto& part : parts) values += part.size();
  const std::uint64_t total = values / m.input_shape;
  const std::uint64_t sample_size =
      std::min(std::max(tp.threshold_samples, saturating_mul(SAMPLES_PER_BUCKET, m.labels)), total);
  QM_DEBUG(kLogTarget, "model:train", {{"sample_size", sample_size}, {"total", total}});

  auto sampled = sample_parts(parts, sample_size, m.input_shape);
  if (!sampled) return fail(sampled.error());
  // A level given fewer records than buckets is trained on as many clusters as it has rows;
  // it keeps one output per bucket.
  const std::uint64_t rows = sampled->size() / m.input_shape;
  auto sample_labels = compute_labels(*sampled, m.label_method, std::min(m.labels, rows), m.input_shape, tp.max_iters);
  if (!sample_labels) return fail(sample_labels.error());
  if (sample_labels->size() != rows) {
    return fail(Error::assertion("assertion failed: xs.size()[0] == ys.size()[0]"));
  }

  try {
    OneOmpThread one_thread;
    OneBlasThread one_blas_thread;
    // The caller's thread may have gradients or inference mode switched off.
    c10::InferenceMode not_inference(false);
    at::AutoGradMode with_grad(true);
    auto [xs, ys] = m.training_tensors(*sampled, *sample_labels);
    if (xs.size(0) != ys.size(0) || ys.scalar_type() != at::kLong) {
      return fail(Error::assertion("assertion failed: xs.size()[0] == ys.size()[0]"));
    }
    const auto n = static_cast<std::uint64_t>(xs.size(0));
    const std::uint64_t batch = tp.batch_size;
    const std::uint64_t batches = batch == 0 ? 0 : n / batch;
    if (batches == 0) return {};

    std::vector<at::Tensor> trainable;
    for (const auto& p : m.params) trainable.push_back(p.second);
    torch::optim::Adam adam(trainable, torch::optim::AdamOptions(1e-3)
                                           .betas(std::make_tuple(0.9, 0.999))
                                           .eps(1e-8)
                                           .weight_decay(0)
                                           .amsgrad(false));
    const auto bs = static_cast<std::int64_t>(batch);
    // Epochs and batches are limited by nothing but the configuration: the caller's interrupt
    // check is asked before each step, and a stopped training leaves the parameters part-way
    // (the level that was being made is dropped).
    for (std::uint64_t epoch = 0; epoch < tp.epochs; ++epoch) {
      if (interrupted()) return fail(interrupted_error());
      at::Tensor perm = at::randperm(xs.size(0), at::TensorOptions().dtype(at::kLong).device(m.torch_device));
      for (std::uint64_t b = 0; b < batches; ++b) {
        if (interrupted()) return fail(interrupted_error());
        // Each batch gathers its own rows of the shuffle: a shuffled copy of the whole sample
        // per epoch is fresh memory that the kernel must fault in and clear every time.
        at::Tensor rows = perm.narrow(0, static_cast<std::int64_t>(b) * bs, bs);
        at::Tensor logits = m.forward(xs.index_select(0, rows));
        at::Tensor loss = at::nll_loss(at::log_softmax(logits, -1, at::kFloat), ys.index_select(0, rows));
        adam.zero_grad();
        loss.backward();
        adam.step();
      }
    }
    // Nothing of the training stays behind but the parameters.
    for (auto& p : m.params) p.second.mutable_grad() = at::Tensor();
    return {};
  } catch (...) {
    return fail(current_exception_error(Stage::use));
  }
}

std::uint64_t BucketModel::labels() const noexcept { return impl_->labels; }
std::uint64_t BucketModel::input_shape() const noexcept { return impl_->input_shape; }
const ModelDevice& BucketModel::device() const noexcept { return impl_->device; }
const std::vector<ModelLayer>& BucketModel::layers() const noexcept { return impl_->layers; }
const TrainParams& BucketModel::train_params() const noexcept { return impl_->train_params; }
DistanceFn BucketModel::label_method() const noexcept { return impl_->label_method; }

std::vector<std::pair<std::string, std::vector<std::int64_t>>> BucketModel::parameter_shapes() const {
  std::vector<std::pair<std::string, std::vector<std::int64_t>>> out;
  for (const auto& [name, t] : impl_->params) out.emplace_back(name, t.sizes().vec());
  return out;
}

std::uint64_t BucketModel::parameter_count() const noexcept {
  std::uint64_t n = 0;
  for (const LinearLayer& l : impl_->linears) n += static_cast<std::uint64_t>(l.out) * static_cast<std::uint64_t>(l.in + 1);
  return n;
}

Result<void> BucketModel::set_parameter(const std::string& name, std::span<const float> values) {
  auto it = std::find_if(impl_->params.begin(), impl_->params.end(), [&](const auto& p) { return p.first == name; });
  if (it == impl_->params.end()) return fail(Error::invalid_value("the model has no parameter named " + name));
  if (static_cast<std::uint64_t>(it->second.numel()) != values.size()) {
    return fail(Error::invalid_value("parameter " + name + " holds " + std::to_string(it->second.numel()) +
                                     " values, " + std::to_string(values.size()) + " were given"));
  }
  try {
    at::NoGradGuard no_grad;
    it->second.copy_(at::from_blob(const_cast<float*>(values.data()), it->second.sizes(), at::kFloat));
    return {};
  } catch (...) {
    return fail(current_exception_error(Stage::use));
  }
}

}  // namespace quillmere
