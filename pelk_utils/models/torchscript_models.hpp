// Adapters for models exported to TorchScript, so a user with real exported
// models plugs them in without glue code. Each adapter checks the module's
// contract on load and on use and names the file in every error.
//
// Contracts (all tensors float32 unless said, images RGB scaled to 0..1,
// channel-first, boxes x_min, y_min, x_max, y_max in frame pixels):
// - Image encoder: forward(image: Tensor[1, 3, 256, 256]) -> Dict[str, Tensor]
//   with "vision_features": Tensor[1, C, h, w].
// - Segmenter, as two modules:
//   encoder forward(image: Tensor[1, 3, H, W]) -> Dict[str, Tensor] with
//     "image_embeddings" (any shape, handed to the decoder) and, for region
//     features, "vision_features": Tensor[1, C, h, w] when given a
//     1 x 3 x 256 x 256 crop;
//   decoder forward(image_embeddings: Tensor, boxes: Tensor[N, 4],
//     multimask: bool) -> Tuple[Tensor[N, K, H, W] mask logits at frame size
//     (inside where > 0), Tensor[N, K] scores], K = 1, or 3 with multimask.
// - Detector: forward(image: Tensor[1, 3, H, W], text: str) -> Dict[str,
//   Tensor] with "boxes": Tensor[N, 4] (frame pixels), "scores": Tensor[N]
//   and optionally "text_scores": Tensor[N] (phrase match, else 1); every
//   box is labelled with the prompt's first phrase ("pig" for "pig.").
// Devices: "cpu", "cuda" or "cuda:N"; asking for CUDA where libtorch has
// none is a clear error, not a crash.
#pragma once

#include <map>
#include <memory>
#include <string>

#include <torch/script.h>

#include "pelk_utils/models/detection_model.hpp"
#include "pelk_utils/models/image_encoder.hpp"
#include "pelk_utils/models/image_predictor.hpp"

namespace pelk {

// Returns the libtorch device for `device` ("cpu", "cuda", "cuda:N").
// Throws std::invalid_argument for another text and std::runtime_error for
// CUDA when this libtorch or machine has none.
torch::Device parse_device(const std::string& device);

// Loads the TorchScript module at `path` onto `device` in eval mode. Throws
// std::runtime_error naming the path when it is missing or not TorchScript.
torch::jit::Module load_torchscript(const std::string& path, const torch::Device& device);

// Converts an 8-bit RGB image (CV_8UC3) to a 1 x 3 x H x W float tensor in
// 0..1 on `device`.
torch::Tensor rgb_tensor(const cv::Mat& image_rgb, const torch::Device& device);

class TorchScriptImageEncoder : public ImageEncoder {
 public:
  TorchScriptImageEncoder(const std::string& path, const std::string& device = "cpu");
  // Wraps an already loaded module; `name` names it in errors.
  TorchScriptImageEncoder(torch::jit::Module module, std::string name, const std::string& device = "cpu");
  // Runs the module; throws std::invalid_argument naming the module when the
  // output is not a dict with a 1 x C x h x w "vision_features".
  std::map<std::string, torch::Tensor> operator()(const torch::Tensor& image) override;
  torch::Device device() const override { return device_; }
  // Runs the module on `input` and returns its raw output, unchecked.
  c10::IValue run(const torch::Tensor& input) { return module_.forward({input.to(device_)}); }

 private:
  torch::jit::Module module_;
  std::string name_;
  torch::Device device_;
};

class TorchScriptSegmenter : public ImagePredictor {
 public:
  TorchScriptSegmenter(const std::string& encoder_path, const std::string& decoder_path,
                       const std::string& device = "cpu");
  // Encodes `image_rgb` and keeps its "image_embeddings".
  void set_image(const cv::Mat& image_rgb) override;
  // Decodes the boxes; one CV_8UC1 0/1 frame-size mask per box and mask
  // candidate. Throws std::invalid_argument naming the decoder when its
  // output breaks the contract, and for point prompts.
  Prediction predict(const std::optional<std::vector<cv::Point2f>>& point_coords,
                     const std::optional<std::vector<int>>& point_labels, const std::vector<Box>& box,
                     bool multimask_output) override;
  ImageEncoder& image_encoder() override { return encoder_; }

 private:
  TorchScriptImageEncoder encoder_;
  torch::jit::Module decoder_;
  std::string decoder_name_;
  torch::Device device_;
  torch::Tensor embeddings_;
  cv::Size frame_;
};

class TorchScriptDetector : public DetectionProcessor, public GroundingModel {
 public:
  TorchScriptDetector(const std::string& path, const std::string& device = "cpu", double box_threshold = 0.35);
  std::unique_ptr<ModelInputs> operator()(const cv::Mat& image_rgb, const std::string& text) override;
  std::unique_ptr<ModelOutputs> operator()(const ModelInputs& inputs) override;
  std::vector<DetectionResult> post_process_grounded_object_detection(
      const ModelOutputs& outputs, const InputIds& input_ids, double text_threshold,
      const std::vector<std::pair<int, int>>& target_sizes) override;

 private:
  torch::jit::Module module_;
  std::string name_;
  torch::Device device_;
  double box_threshold_;
};

}  // namespace pelk
