// A small deterministic image encoder for tests, defined in TorchScript
// source (no weights file): "vision_features" holds the mean and the mean
// square of each colour channel over an 8 x 8 grid (1 x 6 x 8 x 8).
#pragma once

#include <map>
#include <string>

#include <torch/script.h>

#include "pelk_utils/models/image_encoder.hpp"

namespace pelk::testing {

class GridStatsEncoder : public ImageEncoder {
 public:
  GridStatsEncoder() : module_("GridStatsEncoder") {
    module_.define(R"JIT(
def forward(self, x):
    grid = x.reshape([1, 3, 8, 32, 8, 32])
    mean = grid.mean([3, 5])
    square = (grid * grid).mean([3, 5])
    return {"vision_features": torch.cat([mean, square], 1)}
)JIT");
  }
  std::map<std::string, torch::Tensor> operator()(const torch::Tensor& image) override {
    ++calls;
    inputs.push_back(image.clone());
    std::map<std::string, torch::Tensor> out;
    for (const auto& entry : module_.forward({image}).toGenericDict()) {
      out[entry.key().toStringRef()] = entry.value().toTensor();
    }
    return out;
  }
  int calls = 0;
  std::vector<torch::Tensor> inputs;

 private:
  torch::jit::Module module_;
};

// Like GridStatsEncoder, but the grid goes into the channels (1 x 192 x 1 x
// 1): the spatial mean the region features take keeps where things are in
// the crop, so a marking on the left tells from one on the top.
class GridLayoutEncoder : public ImageEncoder {
 public:
  GridLayoutEncoder() : module_("GridLayoutEncoder") {
    module_.define(R"JIT(
def forward(self, x):
    grid = x.reshape([1, 3, 8, 32, 8, 32]).mean([3, 5])
    return {"vision_features": grid.reshape([1, 192, 1, 1])}
)JIT");
  }
  std::map<std::string, torch::Tensor> operator()(const torch::Tensor& image) override {
    std::map<std::string, torch::Tensor> out;
    for (const auto& entry : module_.forward({image}).toGenericDict()) {
      out[entry.key().toStringRef()] = entry.value().toTensor();
    }
    return out;
  }

 private:
  torch::jit::Module module_;
};

}  // namespace pelk::testing
