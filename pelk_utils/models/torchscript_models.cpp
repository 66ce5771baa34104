#include "pelk_utils/models/torchscript_models.hpp"

#include <filesystem>
#include <regex>
#include <stdexcept>

namespace pelk {
namespace {

std::map<std::string, torch::Tensor> tensor_dict(const c10::IValue& value, const std::string& name) {
  if (!value.isGenericDict()) throw std::invalid_argument("TorchScript module '" + name + "' must return a Dict[str, Tensor]");
  std::map<std::string, torch::Tensor> out;
  for (const auto& entry : value.toGenericDict()) {
    if (!entry.key().isString() || !entry.value().isTensor()) {
      throw std::invalid_argument("TorchScript module '" + name + "' must return a Dict[str, Tensor]");
    }
    out[entry.key().toStringRef()] = entry.value().toTensor();
  }
  return out;
}

const torch::Tensor& require(const std::map<std::string, torch::Tensor>& dict, const std::string& key,
                             const std::string& name) {
  const auto it = dict.find(key);
  if (it == dict.end()) {
    std::string keys;
    for (const auto& [k, v] : dict) keys += (keys.empty() ? "" : ", ") + k;
    throw std::invalid_argument("TorchScript module '" + name + "' returned no \"" + key + "\" (it returned: " +
                                (keys.empty() ? "nothing" : keys) + ")");
  }
  return it->second;
}

std::string shape_text(const torch::Tensor& t) {
  std::string s;
  for (int64_t d : t.sizes()) s += (s.empty() ? "" : " x ") + std::to_string(d);
  return s.empty() ? "a scalar" : s;
}

class PromptIds : public InputIds {
 public:
  std::string first_phrase;
};

class ImageInputs : public ModelInputs {
 public:
  void to(const Device& device) override { image = image.to(parse_device(device)); }
  const InputIds& input_ids() const override { return ids; }
  torch::Tensor image;
  std::string text;
  PromptIds ids;
};

class DictOutputs : public ModelOutputs {
 public:
  std::map<std::string, torch::Tensor> values;
  cv::Size size;
};

}  // namespace

torch::Device parse_device(const std::string& device) {
  static const std::regex kDevice("cpu|cuda(:[0-9]+)?");
  if (!std::regex_match(device, kDevice)) {
    throw std::invalid_argument("device '" + device + "' is not \"cpu\", \"cuda\" or \"cuda:N\"");
  }
  if (device != "cpu" && !torch::cuda::is_available()) {
    throw std::runtime_error("device '" + device + "' asked for, but this libtorch build or machine has no CUDA");
  }
  return torch::Device(device);
}

torch::jit::Module load_torchscript(const std::string& path, const torch::Device& device) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) {
    throw std::runtime_error("TorchScript file '" + path + "' does not exist or is not a regular file");
  }
  try {
    torch::jit::Module module = torch::jit::load(path, device);
    module.eval();
    return module;
  } catch (const c10::Error& e) {
    throw std::runtime_error("cannot load TorchScript file '" + path + "': " + e.what_without_backtrace());
  }
}

torch::Tensor rgb_tensor(const cv::Mat& image_rgb, const torch::Device& device) {
  if (image_rgb.type() != CV_8UC3) throw std::invalid_argument("TorchScript models take an 8-bit RGB image");
  const cv::Mat contiguous = image_rgb.isContinuous() ? image_rgb : image_rgb.clone();
  return torch::from_blob(contiguous.data, {contiguous.rows, contiguous.cols, 3}, torch::kUInt8)
      .permute({2, 0, 1})
      .unsqueeze(0)
      .to(torch::kFloat32)
      .div(255.0)
      .to(device);
}

TorchScriptImageEncoder::TorchScriptImageEncoder(const std::string& path, const std::string& device)
    : TorchScriptImageEncoder(load_torchscript(path, parse_device(device)), path, device) {}

TorchScriptImageEncoder::TorchScriptImageEncoder(torch::jit::Module module, std::string name, const std::string& device)
    : module_(std::move(module)), name_(std::move(name)), device_(parse_device(device)) {
  module_.to(device_);
}

std::map<std::string, torch::Tensor> TorchScriptImageEncoder::operator()(const torch::Tensor& image) {
  torch::NoGradGuard no_grad;
  std::map<std::string, torch::Tensor> out;
  try {
    out = tensor_dict(module_.forward({image.to(device_)}), name_);
  } catch (const c10::Error& e) {
    throw std::invalid_argument("TorchScript module '" + name_ + "' failed on a " + shape_text(image) +
                                " input: " + e.what_without_backtrace());
  }
  const torch::Tensor& f = require(out, "vision_features", name_);
  if (f.dim() != 4 || f.size(0) != 1) {
    throw std::invalid_argument("TorchScript module '" + name_ + "' returned \"vision_features\" of shape " +
                                shape_text(f) + "; expected 1 x C x h x w");
  }
  return out;
}

TorchScriptSegmenter::TorchScriptSegmenter(const std::string& encoder_path, const std::string& decoder_path,
                                           const std::string& device)
    : encoder_(encoder_path, device),
      decoder_(load_torchscript(decoder_path, parse_device(device))),
      decoder_name_(decoder_path),
      device_(parse_device(device)) {}

void TorchScriptSegmenter::set_image(const cv::Mat& image_rgb) {
  torch::NoGradGuard no_grad;
  frame_ = image_rgb.size();
  c10::IValue out;
  try {
    out = encoder_.run(rgb_tensor(image_rgb, device_));
  } catch (const c10::Error& e) {
    throw std::invalid_argument("segmenter encoder failed on the frame: " + std::string(e.what_without_backtrace()));
  }
  embeddings_ = require(tensor_dict(out, "segmenter encoder"), "image_embeddings", "segmenter encoder");
}

Prediction TorchScriptSegmenter::predict(const std::optional<std::vector<cv::Point2f>>& point_coords,
                                         const std::optional<std::vector<int>>& point_labels,
                                         const std::vector<Box>& box, bool multimask_output) {
  if (point_coords || point_labels) throw std::invalid_argument("the TorchScript segmenter takes box prompts only");
  if (!embeddings_.defined()) throw std::logic_error("TorchScriptSegmenter::predict called before set_image");
  torch::NoGradGuard no_grad;
  torch::Tensor boxes = torch::zeros({static_cast<int64_t>(box.size()), 4}, torch::kFloat32);
  for (std::size_t i = 0; i < box.size(); ++i) {
    for (int c = 0; c < 4; ++c) boxes[static_cast<int64_t>(i)][c] = static_cast<float>(box[i][static_cast<std::size_t>(c)]);
  }
  c10::IValue out;
  try {
    out = decoder_.forward({embeddings_, boxes.to(device_), multimask_output});
  } catch (const c10::Error& e) {
    throw std::invalid_argument("TorchScript module '" + decoder_name_ + "' failed: " + e.what_without_backtrace());
  }
  if (!out.isTuple() || out.toTuple()->elements().size() != 2) {
    throw std::invalid_argument("TorchScript module '" + decoder_name_ + "' must return (masks, scores)");
  }
  const torch::Tensor masks = out.toTuple()->elements()[0].toTensor().to(torch::kCPU);
  const torch::Tensor scores = out.toTuple()->elements()[1].toTensor().to(torch::kCPU, torch::kFloat32);
  const int64_t n = static_cast<int64_t>(box.size());
  if (masks.dim() != 4 || masks.size(0) != n || masks.size(2) != frame_.height || masks.size(3) != frame_.width ||
      scores.dim() != 2 || scores.size(0) != n || scores.size(1) != masks.size(1)) {
    throw std::invalid_argument("TorchScript module '" + decoder_name_ + "' returned masks of shape " +
                                shape_text(masks) + " and scores of shape " + shape_text(scores) + "; expected " +
                                std::to_string(n) + " x K x " + std::to_string(frame_.height) + " x " +
                                std::to_string(frame_.width) + " and " + std::to_string(n) + " x K");
  }
  const int64_t k = multimask_output ? masks.size(1) : 1;
  Prediction p;
  for (int64_t i = 0; i < n; ++i) {
    for (int64_t j = 0; j < k; ++j) {
      const torch::Tensor inside = masks[i][j].gt(0).to(torch::kUInt8).contiguous();
      p.masks.push_back(cv::Mat(frame_, CV_8UC1, inside.data_ptr<uint8_t>()).clone());
      p.scores.push_back(scores[i][j].item<float>());
      const torch::Tensor logits = masks[i][j].to(torch::kFloat32).contiguous();
      p.logits.push_back(cv::Mat(frame_, CV_32FC1, logits.data_ptr<float>()).clone());
    }
  }
  return p;
}

TorchScriptDetector::TorchScriptDetector(const std::string& path, const std::string& device, double box_threshold)
    : module_(load_torchscript(path, parse_device(device))),
      name_(path),
      device_(parse_device(device)),
      box_threshold_(box_threshold) {}

std::unique_ptr<ModelInputs> TorchScriptDetector::operator()(const cv::Mat& image_rgb, const std::string& text) {
  auto inputs = std::make_unique<ImageInputs>();
  inputs->image = rgb_tensor(image_rgb, torch::kCPU);
  inputs->text = text;
  const auto dot = text.find('.');
  inputs->ids.first_phrase = text.substr(0, dot);
  return inputs;
}

std::unique_ptr<ModelOutputs> TorchScriptDetector::operator()(const ModelInputs& inputs) {
  const auto* in = dynamic_cast<const ImageInputs*>(&inputs);
  if (in == nullptr) throw std::invalid_argument("TorchScriptDetector was given inputs of another processor");
  torch::NoGradGuard no_grad;
  auto out = std::make_unique<DictOutputs>();
  try {
    out->values = tensor_dict(module_.forward({in->image.to(device_), in->text}), name_);
  } catch (const c10::Error& e) {
    throw std::invalid_argument("TorchScript module '" + name_ + "' failed: " + e.what_without_backtrace());
  }
  out->size = cv::Size(static_cast<int>(in->image.size(3)), static_cast<int>(in->image.size(2)));
  return out;
}

std::vector<DetectionResult> TorchScriptDetector::post_process_grounded_object_detection(
    const ModelOutputs& outputs, const InputIds& input_ids, double text_threshold,
    const std::vector<std::pair<int, int>>& target_sizes) {
  const auto* out = dynamic_cast<const DictOutputs*>(&outputs);
  const auto* ids = dynamic_cast<const PromptIds*>(&input_ids);
  if (out == nullptr || ids == nullptr) throw std::invalid_argument("TorchScriptDetector was given outputs of another model");
  const torch::Tensor boxes = require(out->values, "boxes", name_).to(torch::kCPU, torch::kFloat64);
  const torch::Tensor scores = require(out->values, "scores", name_).to(torch::kCPU, torch::kFloat64);
  const int64_t n = boxes.dim() == 2 ? boxes.size(0) : -1;
  if (n < 0 || boxes.size(1) != 4 || scores.dim() != 1 || scores.size(0) != n) {
    throw std::invalid_argument("TorchScript module '" + name_ + "' returned boxes of shape " + shape_text(boxes) +
                                " and scores of shape " + shape_text(scores) + "; expected N x 4 and N");
  }
  torch::Tensor text_scores = torch::ones({n}, torch::kFloat64);
  if (const auto it = out->values.find("text_scores"); it != out->values.end()) {
    text_scores = it->second.to(torch::kCPU, torch::kFloat64).reshape({-1});
    if (text_scores.size(0) != n) throw std::invalid_argument("TorchScript module '" + name_ + "' returned " + std::to_string(text_scores.size(0)) + " text_scores for " + std::to_string(n) + " boxes");
  }
  const double sx = target_sizes.empty() ? 1.0 : static_cast<double>(target_sizes[0].second) / out->size.width;
  const double sy = target_sizes.empty() ? 1.0 : static_cast<double>(target_sizes[0].first) / out->size.height;
  DetectionResult r;
  for (int64_t i = 0; i < n; ++i) {
    if (scores[i].item<double>() < box_threshold_ || !(text_scores[i].item<double>() > text_threshold)) continue;
    r.boxes.push_back(Box{boxes[i][0].item<double>() * sx, boxes[i][1].item<double>() * sy,
                          boxes[i][2].item<double>() * sx, boxes[i][3].item<double>() * sy});
    r.scores.push_back(static_cast<float>(scores[i].item<double>()));
    r.labels.push_back(ids->first_phrase);
  }
  return {r};
}

}  // namespace pelk
