// TorchScript adapters, with small modules defined and saved by the test.
#include <filesystem>

#include <gtest/gtest.h>

#include "pelk_utils/core/testing/test_support.hpp"
#include "pelk_utils/matching/region_features.hpp"
#include "pelk_utils/models/torchscript_models.hpp"

namespace pelk {
namespace {

class TorchScriptTest : public testing::ScratchDirTest {
 protected:
  std::string save(const std::string& name, const std::string& source) {
    torch::jit::Module m(name);
    m.define(source);
    const std::string p = path(name + ".pt");
    m.save(p);
    return p;
  }
  std::string good_encoder() {
    return save("encoder", R"JIT(
def forward(self, x):
    return {"image_embeddings": x, "vision_features": x.mean([2, 3], True) * 2.0}
)JIT");
  }
  std::string box_decoder() {
    return save("decoder", R"JIT(
def forward(self, emb, boxes, multimask: bool):
    h = emb.size(2)
    w = emb.size(3)
    ys = torch.arange(h).reshape([1, h, 1]).float()
    xs = torch.arange(w).reshape([1, 1, w]).float()
    x0 = boxes[:, 0].reshape([-1, 1, 1])
    y0 = boxes[:, 1].reshape([-1, 1, 1])
    x1 = boxes[:, 2].reshape([-1, 1, 1])
    y1 = boxes[:, 3].reshape([-1, 1, 1])
    inside = (xs >= x0) & (xs <= x1) & (ys >= y0) & (ys <= y1)
    k = 1
    if multimask:
        k = 3
    masks = (inside.float() * 2.0 - 1.0).unsqueeze(1).repeat([1, k, 1, 1])
    return masks, torch.ones([boxes.size(0), k])
)JIT");
  }
};

TEST_F(TorchScriptTest, SegmenterFromFilesSegmentsBoxesAndFeedsRegionFeatures) {
  TorchScriptSegmenter segmenter(good_encoder(), box_decoder());
  cv::Mat3b frame(40, 60, cv::Vec3b(200, 100, 50));
  segmenter.set_image(frame);
  const Prediction p = segmenter.predict(std::nullopt, std::nullopt, {{5, 6, 14, 20}, {30, 0, 59, 39}}, false);
  ASSERT_EQ(p.masks.size(), 2u);
  EXPECT_EQ(Mask(p.masks[0]).box(), (Box{5, 6, 14, 20}));
  EXPECT_EQ(Mask(p.masks[1]).area(), 30 * 40);
  EXPECT_EQ(segmenter.predict(std::nullopt, std::nullopt, {{5, 6, 14, 20}}, true).masks.size(), 3u);
  const auto features = generate_sam2_image_features(frame, {Mask(p.masks[0])}, segmenter);
  ASSERT_TRUE(features[0]);
  EXPECT_EQ(features[0]->sizes(), (std::vector<int64_t>{3}));
}

struct BadModuleCase {
  const char* name;
  const char* source;
  const char* message_part;
  friend void PrintTo(const BadModuleCase& c, std::ostream* os) { *os << c.name; }
};

class BadEncoderTest : public TorchScriptTest, public ::testing::WithParamInterface<BadModuleCase> {};

TEST_P(BadEncoderTest, GivesTheDocumentedError) {
  TorchScriptImageEncoder encoder(save("bad", GetParam().source));
  try {
    encoder(torch::zeros({1, 3, 256, 256}));
    FAIL() << "expected an error";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find(GetParam().message_part), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("bad.pt"), std::string::npos) << e.what();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Contract, BadEncoderTest,
    ::testing::Values(BadModuleCase{"wrong_key", "def forward(self, x):\n    return {\"features\": x}\n",
                                    "returned no \"vision_features\" (it returned: features)"},
                      BadModuleCase{"wrong_shape", "def forward(self, x):\n    return {\"vision_features\": x.mean([1, 2, 3])}\n",
                                    "of shape 1; expected 1 x C x h x w"},
                      BadModuleCase{"not_a_dict", "def forward(self, x):\n    return x\n", "must return a Dict"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TorchScriptTest, MissingFilesBadDevicesAndBrokenDecoders) {
  EXPECT_THROW(TorchScriptImageEncoder(path("none.pt")), std::runtime_error);
  std::ofstream(path("junk.pt")) << "not a zip";
  EXPECT_THROW(TorchScriptImageEncoder(path("junk.pt")), std::runtime_error);
  EXPECT_THROW(parse_device("gpu0"), std::invalid_argument);
  if (!torch::cuda::is_available()) {
    try {
      TorchScriptImageEncoder(good_encoder(), "cuda:0");
      FAIL();
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find("no CUDA"), std::string::npos);
    }
  }
  const std::string flat = save("flat_decoder", R"JIT(
def forward(self, emb, boxes, multimask: bool):
    return emb, torch.ones([1, 1])
)JIT");
  TorchScriptSegmenter segmenter(good_encoder(), flat);
  segmenter.set_image(cv::Mat3b(10, 10, cv::Vec3b(1, 2, 3)));
  try {
    segmenter.predict(std::nullopt, std::nullopt, {{0, 0, 3, 3}}, false);
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("flat_decoder.pt' returned masks of shape"), std::string::npos) << e.what();
  }
}

TEST_F(TorchScriptTest, DetectorAppliesThresholdsAndScalesBoxes) {
  const std::string p = save("detector", R"JIT(
def forward(self, image, text: str):
    boxes = torch.tensor([[1.0, 2.0, 11.0, 12.0], [20.0, 5.0, 30.0, 15.0], [0.0, 0.0, 4.0, 4.0]])
    return {"boxes": boxes, "scores": torch.tensor([0.9, 0.8, 0.1]), "text_scores": torch.tensor([0.9, 0.2, 0.9])}
)JIT");
  TorchScriptDetector detector(p);
  const cv::Mat3b frame(20, 40, cv::Vec3b(0, 0, 0));
  const auto inputs = detector(frame, "pig.");
  inputs->to("cpu");
  const auto outputs = detector(*inputs);
  const DetectionResult r =
      detector.post_process_grounded_object_detection(*outputs, inputs->input_ids(), 0.25, {{40, 80}}).at(0);
  ASSERT_EQ(r.boxes.size(), 1u);  // box 2 fails the text threshold, box 3 the box threshold
  EXPECT_EQ(r.boxes[0], (Box{2, 4, 22, 24}));
  EXPECT_EQ(r.labels[0], "pig");
}

}  // namespace
}  // namespace pelk
