#include "quillmere/text_forms.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillmere {
namespace {

TEST(TextForms, AcceptedTextsRoundTrip) {
  for (auto d : {DistanceFn::l2, DistanceFn::dot}) {
    auto back = parse_distance_fn(to_text(d));
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, d);
  }
  EXPECT_EQ(to_text(DistanceFn::l2), "l2");
  EXPECT_EQ(to_text(DistanceFn::dot), "dot");

  ASSERT_TRUE(parse_delete_method("oid_to_bucket").has_value());
  EXPECT_EQ(to_text(DeleteMethod::oid_to_bucket), "oid_to_bucket");

  const std::vector<std::pair<std::string, RebuildStrategy>> compaction{
      {"bentley_saxe:no_rebuild", RebuildStrategy::no_rebuild},
      {"bentley_saxe:basic_rebuild", RebuildStrategy::basic_rebuild},
      {"bentley_saxe:greedy_rebuild", RebuildStrategy::greedy_rebuild}};
  for (const auto& [text, rebuild] : compaction) {
    auto c = parse_compaction_strategy(text);
    ASSERT_TRUE(c.has_value()) << text;
    EXPECT_EQ(c->rebuild_strategy, rebuild);
    EXPECT_EQ(to_text(*c), text);
  }

  for (auto r : {RetrainStrategy::no_retrain, RetrainStrategy::from_scratch}) {
    auto back = parse_retrain_strategy(to_text(r));
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, r);
  }
  EXPECT_EQ(to_text(RetrainStrategy::from_scratch), "from_scratch");

  for (auto dev : {ModelDevice::cpu(), ModelDevice::gpu(0), ModelDevice::gpu(7),
                   ModelDevice::gpu(18446744073709551615ULL)}) {
    auto back = parse_device(to_text(dev));
    ASSERT_TRUE(back.has_value()) << to_text(dev);
    EXPECT_EQ(*back, dev);
  }
}

struct Refusal {
  std::string text;
  std::string message;
};

TEST(TextForms, UnknownTextsAreRefusedWithTheirMessages) {
  const std::vector<Refusal> distance{{"L2", "Unknown distance function: L2"},
                                      {"Dot", "Unknown distance function: Dot"},
                                      {"", "Unknown distance function: "},
                                      {" l2", "Unknown distance function:  l2"},
                                      {"cosine", "Unknown distance function: cosine"}};
  for (const auto& r : distance) {
    auto v = parse_distance_fn(r.text);
    ASSERT_FALSE(v.has_value()) << r.text;
    EXPECT_EQ(v.error().kind, ErrorKind::InvalidValue);
    EXPECT_EQ(v.error().message(), r.message);
  }

  auto del = parse_delete_method("OID_TO_BUCKET");
  ASSERT_FALSE(del.has_value());
  EXPECT_EQ(del.error().message(), "Unknown delete method: OID_TO_BUCKET");

  for (std::string text : {"bentley_saxe:No_rebuild", "bentley_saxe", "bentley_saxe:", "no_rebuild",
                           "bentley_saxe:no_rebuild "}) {
    auto c = parse_compaction_strategy(text);
    ASSERT_FALSE(c.has_value()) << text;
    EXPECT_EQ(c.error().message(), "Unknown compaction strategy: " + text);
  }

  for (std::string text : {"From_scratch", "FROM_SCRATCH", "", "no_retrain\n"}) {
    auto r = parse_retrain_strategy(text);
    ASSERT_FALSE(r.has_value()) << text;
    EXPECT_EQ(r.error().kind, ErrorKind::InvalidValue);
    EXPECT_EQ(r.error().message(), "Invalid retrain strategy");
  }
}

TEST(TextForms, DeviceTexts) {
  struct Case {
    std::string text;
    std::optional<ModelDevice> want;
  };
  const std::vector<Case> cases{
      {"cpu", ModelDevice::cpu()},
      {"gpu:0", ModelDevice::gpu(0)},
      {"gpu:+3", ModelDevice::gpu(3)},
      {"gpu:007", ModelDevice::gpu(7)},
      {"gpu:18446744073709551615", ModelDevice::gpu(18446744073709551615ULL)},
      {"gpu:18446744073709551616", std::nullopt},
      {"gpu", std::nullopt},
      {"gpu:", std::nullopt},
      {"gpu:+", std::nullopt},
      {"gpu:++1", std::nullopt},
      {"gpu:-1", std::nullopt},
      {"gpu:1x", std::nullopt},
      {"gpu:1:2", std::nullopt},
      {"gpu::1", std::nullopt},
      {"GPU:1", std::nullopt},
      {"CPU", std::nullopt},
      {" cpu", std::nullopt},
      {"gpu: 1", std::nullopt},
      {"gpu:1 ", std::nullopt},
      {"cuda:0", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    auto d = parse_device(c.text);
    if (c.want) {
      ASSERT_TRUE(d.has_value()) << c.text;
      EXPECT_EQ(*d, *c.want) << c.text;
    } else {
      ASSERT_FALSE(d.has_value()) << c.text;
      EXPECT_EQ(d.error().kind, ErrorKind::InvalidValue);
      EXPECT_EQ(d.error().message(), "Invalid device type");
    }
  }
}

}  // namespace
}  // namespace quillmere
