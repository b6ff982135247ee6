// The classifier's training and placement run libtorch's operations one thread each, and leave
// the calling thread's intra-op thread count as the host set it.
#include <ATen/Parallel.h>

#include "model_test_util.h"

namespace quillmere::test {
namespace {

TEST(BucketModelThreads, TrainingAndPlacementKeepTheCallersThreadCount) {
  const int original = at::get_num_threads();
  for (int host_count : {1, 3}) {
    at::set_num_threads(host_count);
    BucketModelBuilder b = builder(8, 4, {ModelLayer::linear(16), ModelLayer::relu()});
    b.train_params = TrainParams{1000, 16, 2, 10, RetrainStrategy::no_retrain};
    BucketModel m = make(b);
    const std::vector<float> rows = random_values(300 * 8, 11);
    auto trained = m.train(rows);
    ASSERT_TRUE(trained) << trained.error().message();
    EXPECT_EQ(at::get_num_threads(), host_count) << "after train";
    auto labels = m.predict_labels(rows);
    ASSERT_TRUE(labels) << labels.error().message();
    EXPECT_EQ(labels->size(), 300u);
    EXPECT_EQ(at::get_num_threads(), host_count) << "after predict_labels";
  }
  at::set_num_threads(original);
}

}  // namespace
}  // namespace quillmere::test
