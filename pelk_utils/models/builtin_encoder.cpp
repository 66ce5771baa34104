#include "pelk_utils/models/builtin_encoder.hpp"

#include <stdexcept>

namespace pelk {

BuiltinImageEncoder::BuiltinImageEncoder() : module_("BuiltinImageEncoder") {
  module_.define(R"JIT(
def forward(self, x):
    grey = x.mean(1, True)
    dx = (grey - torch.roll(grey, [1], [3])).abs()
    dy = (grey - torch.roll(grey, [1], [2])).abs()
    stack = torch.cat([grey, dx, dy, grey * grey], 1)
    cells = stack.reshape([1, 4, 4, 64, 4, 64]).mean([3, 5])
    centred = cells - cells.mean([2, 3], True)
    return {"vision_features": centred.reshape([1, 64, 1, 1])}
)JIT");
  module_.eval();
}

std::map<std::string, torch::Tensor> BuiltinImageEncoder::operator()(const torch::Tensor& image) {
  if (image.dim() != 4 || image.size(0) != 1 || image.size(1) != 3 || image.size(2) != 256 || image.size(3) != 256) {
    throw std::invalid_argument("the built-in image encoder takes a 1 x 3 x 256 x 256 tensor");
  }
  torch::NoGradGuard no_grad;
  std::map<std::string, torch::Tensor> out;
  for (const auto& entry : module_.forward({image.to(torch::kFloat32)}).toGenericDict()) {
    out[entry.key().toStringRef()] = entry.value().toTensor();
  }
  return out;
}

}  // namespace pelk
