// The built-in image encoder: a fixed TorchScript module defined in code (no
// weights file). It maps a 1 x 3 x 256 x 256 crop (values 0..1) to a
// 1 x 64 x 1 x 1 "vision_features" map: on a 4 x 4 grid of cells, the mean
// grey level, mean horizontal and vertical gradient and mean square, each
// centred on its mean over the grid, so cosine scores compare where the dark
// markings and edges of an animal lie.
// Suits: telling apart animals by marking position on crops of one scene.
// Fails: animals without distinct markings; crops of very different scale.
#pragma once

#include <map>
#include <string>

#include <torch/script.h>

#include "pelk_utils/models/image_encoder.hpp"

namespace pelk {

class BuiltinImageEncoder : public ImageEncoder {
 public:
  BuiltinImageEncoder();
  // Encodes `image` (1 x 3 x 256 x 256 float); throws std::invalid_argument
  // for another shape.
  std::map<std::string, torch::Tensor> operator()(const torch::Tensor& image) override;
  // Returns the TorchScript module (for saving or inspection).
  const torch::jit::Module& module() const { return module_; }

 private:
  torch::jit::Module module_;
};

}  // namespace pelk
