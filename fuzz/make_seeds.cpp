// Writes the seed corpora of the fuzz targets from files the libraries themselves produce:
// dumps of small indexes (meta.json and whole directories), classifier weights, and the YAML
// configurations of the reader's own forms. Usage: fuzz_make_seeds <fuzz source dir>.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "model_check.h"
#include "quillmere/index.h"
#include "quillmere/pool.h"

namespace fs = std::filesystem;
using namespace quillmere;

namespace {

fs::path g_out;

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void put(const std::string& target, const std::string& name, const std::string& bytes) {
  const fs::path dir = g_out / "corpus" / target;
  fs::create_directories(dir);
  std::ofstream(dir / ("seed-" + name), std::ios::binary) << bytes;
}

std::string replace_all(std::string s, const std::string& from, const std::string& to) {
  for (std::size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size()) s.replace(at, from.size(), to);
  return s;
}

[[noreturn]] void die(const std::string& what, const Error& e) {
  std::fprintf(stderr, "%s: %s\n", what.c_str(), e.message().c_str());
  std::exit(1);
}

struct Shape {
  std::string name;
  std::uint64_t buffer_size, arity, bucket_size, dim, inserts;
  DistanceFn fn;
  RebuildStrategy rebuild;
  std::vector<ModelLayer> layers;
};

// Dumps an index of `shape` and stores its meta.json and its packed directory.
void dump_seed(const Shape& s, std::mt19937& rng) {
  IndexBuilder b;
  b.buffer_size = s.buffer_size;
  b.input_shape = s.dim;
  b.arity = s.arity;
  b.device = ModelDevice::cpu();
  b.levels.bucket_size = s.bucket_size;
  b.levels.model.layers = s.layers;
  b.levels.model.train_params = TrainParams{64, 4, 1, 2, RetrainStrategy::no_retrain};
  b.delete_method = DeleteMethod::oid_to_bucket;
  b.distance_fn = s.fn;
  b.compaction_strategy = CompactionStrategy{s.rebuild};
  auto index = b.build();
  if (!index) die("build", index.error());
  std::normal_distribution<float> normal;
  for (std::uint32_t id = 0; id < s.inserts; ++id) {
    std::vector<float> r(s.dim);
    for (auto& v : r) v = normal(rng);
    if (auto ok = index->insert(std::move(r), 100 + id); !ok) die("insert", ok.error());
  }
  const fs::path dir = fs::temp_directory_path() / ("qm-seed-" + s.name);
  fs::remove_all(dir);
  if (auto ok = index->dump(dir.string()); !ok) die("dump", ok.error());

  const std::string meta = slurp(dir / "meta.json");
  put("meta_json", s.name + ".json", meta);
  std::string packed = replace_all(meta, dir.string(), "@DIR@");
  for (const char* f : {"buffer_records.bin", "buffer_ids.bin", "bucket-records-0.bin", "bucket-ids-0.bin",
                        "model-0.safetensors", "bucket-records-1.bin", "bucket-ids-1.bin", "model-1.safetensors"}) {
    if (!fs::exists(dir / f)) break;
    packed += std::string(qmfuzz::kPartSeparator) + slurp(dir / f);
  }
  put("index_dir", s.name, packed);
  fs::remove_all(dir);
}

const char* const kYaml[][2] = {
    {"block",
     "compaction_strategy:\n  type: bentley_saxe\n  rebuild_strategy: no_rebuild\nlevels:\n  model:\n    layers:\n"
     "      - type: linear\n        value: 128\n      - type: relu\n    train_params:\n      threshold_samples: 1000\n"
     "      batch_size: 256\n      epochs: 3\n      max_iters: 10\n      retrain_strategy: no_retrain\n"
     "  bucket_size: 5000\nbuffer_size: 5000\ninput_shape: 768\narity: 3\ndevice: cpu\ndistance_fn: dot\n"
     "delete_method: oid_to_bucket\n"},
    {"flow-gpu-hex",
     "{compaction_strategy: {type: bentley_saxe, rebuild_strategy: greedy_rebuild}, levels: {model: {layers: "
     "[{type: linear, value: 0x40}, {type: relu, value: ~}], train_params: {threshold_samples: 0o17, batch_size: "
     "0b1000, epochs: +1, max_iters: 2, retrain_strategy: from_scratch}, weights_path: \"/tmp/w.safetensors\"}, "
     "bucket_size: 16}, buffer_size: 8, input_shape: 4, arity: 2, device: !gpu 1, distance_fn: l2, "
     "delete_method: oid_to_bucket, unknown: [1, {a: b}]}\n"},
    {"anchors",
     "--- # one document\ntp: &tp {threshold_samples: 10, batch_size: 2, epochs: 1, max_iters: 1, "
     "retrain_strategy: no_retrain}\nlayers: &layers\n  - {type: relu}\ncompaction_strategy: {type: bentley_saxe, "
     "rebuild_strategy: basic_rebuild}\nlevels:\n  model: {layers: *layers, train_params: *tp, weights_path: null}\n"
     "  bucket_size: 4\nbuffer_size: 4\ninput_shape: 2\narity: 2\ndevice: cpu\ndistance_fn: dot\n"
     "delete_method: oid_to_bucket\n...\n"},
    {"two-docs", "a: 1\n---\nb: 2\n"},
    {"bad-types",
     "compaction_strategy: [bentley_saxe]\nlevels:\n  - model: {}\nbuffer_size: -1\ninput_shape: 1.5\narity: true\n"
     "device: {gpu: 0}\ndistance_fn: L2\ndelete_method: 'oid_to_bucket'\n"},
    {"tagged", "%YAML 1.1\n%TAG !e! tag:example.com,2000:\n--- !!map\n? !!str input_shape\n: !!int \"3\"\n"
               "levels: !e!thing |\n  literal\nbuffer_size: >-\n  folded\n"},
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <fuzz source dir>\n", argv[0]);
    return 2;
  }
  g_out = argv[1];
  qmfuzz::silence_stdout();  // training prints its data
  (void)pool::set_thread_count(1);
  std::mt19937 rng(12345);

  const std::vector<Shape> shapes = {
      {"empty", 4, 2, 4, 3, 0, DistanceFn::dot, RebuildStrategy::no_rebuild, {}},
      {"buffer-only", 4, 2, 4, 3, 3, DistanceFn::l2, RebuildStrategy::no_rebuild, {}},
      {"one-level", 4, 2, 4, 3, 6, DistanceFn::dot, RebuildStrategy::basic_rebuild,
       {ModelLayer::linear(4), ModelLayer::relu()}},
      {"two-levels", 4, 2, 4, 2, 18, DistanceFn::l2, RebuildStrategy::greedy_rebuild, {ModelLayer::relu()}},
      {"full-buffer-level", 3, 3, 2, 2, 5, DistanceFn::dot, RebuildStrategy::no_rebuild, {ModelLayer::linear(3)}},
  };
  for (const auto& s : shapes) dump_seed(s, rng);

  for (const auto& [name, text] : kYaml) put("yaml_config", std::string(name) + ".yaml", text);

  // Classifier weights in the shapes the weights targets load.
  for (const auto& builder : qmfuzz::fuzz_model_builders("")) {
    BucketModelBuilder fresh = builder;
    fresh.weights_path.reset();
    auto model = BucketModel::create(fresh);
    if (!model) die("model", model.error());
    const fs::path p = fs::temp_directory_path() / "qm-seed.safetensors";
    if (auto saved = model->save_weights(p.string()); !saved) die("save", saved.error());
    put("safetensors", "labels-" + std::to_string(*builder.labels) + ".safetensors", slurp(p));
    fs::remove(p);
    // Any other extension is libtorch's own module archive, which the .pt reader also reads.
    const fs::path a = fs::temp_directory_path() / "qm-seed.archive";
    if (auto saved = model->save_weights(a.string()); !saved) die("save", saved.error());
    put("pt_weights", "archive-labels-" + std::to_string(*builder.labels) + ".pt", slurp(a));
    fs::remove(a);
  }
  return 0;
}
