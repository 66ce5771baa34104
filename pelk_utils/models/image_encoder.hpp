// The segmenter's image encoder, used to compare the look of two animals.
// The only model interface that needs libtorch.
#pragma once

#include <map>
#include <string>

#include <torch/torch.h>

namespace pelk {

class ImageEncoder {
 public:
  virtual ~ImageEncoder() = default;
  // Encodes a 1 x 3 x 256 x 256 float tensor with values 0..1 (RGB) and
  // returns a map whose "vision_features" entry is a 1 x C x h x w tensor.
  // Called with gradients off.
  virtual std::map<std::string, torch::Tensor> operator()(const torch::Tensor& image) = 0;
  // Returns the device the encoder runs on; its input tensors are put there.
  virtual torch::Device device() const { return torch::kCPU; }
};

}  // namespace pelk
