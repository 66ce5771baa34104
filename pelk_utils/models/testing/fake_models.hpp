// Test doubles of the model interfaces: a detector that replays scripted
// detections call by call, and a segmenter that returns given masks or
// fills an ellipse inside each box prompt. They record what they were asked.
#pragma once

#include <deque>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "pelk_utils/models/detection_model.hpp"
#include "pelk_utils/models/image_predictor.hpp"

namespace pelk::testing {

class ScriptedIds : public InputIds {};

class ScriptedInputs : public ModelInputs {
 public:
  void to(const Device& device) override { device_ = device; }
  const InputIds& input_ids() const override { return ids_; }
  Device device_;
  cv::Size image_size;
  ScriptedIds ids_;
};

class ScriptedOutputs : public ModelOutputs {};

// Replays one DetectionResult per processed frame, in call order.
class ScriptedDetector : public DetectionProcessor, public GroundingModel {
 public:
  explicit ScriptedDetector(std::deque<DetectionResult> script) : script_(std::move(script)) {}

  std::unique_ptr<ModelInputs> operator()(const cv::Mat& image_rgb, const std::string& text) override {
    texts.push_back(text);
    auto inputs = std::make_unique<ScriptedInputs>();
    inputs->image_size = image_rgb.size();
    return inputs;
  }
  std::unique_ptr<ModelOutputs> operator()(const ModelInputs& inputs) override {
    devices.push_back(static_cast<const ScriptedInputs&>(inputs).device_);
    return std::make_unique<ScriptedOutputs>();
  }
  std::vector<DetectionResult> post_process_grounded_object_detection(
      const ModelOutputs&, const InputIds&, double text_threshold,
      const std::vector<std::pair<int, int>>& target_sizes) override {
    thresholds.push_back(text_threshold);
    sizes.push_back(target_sizes.at(0));
    if (script_.empty()) throw std::runtime_error("ScriptedDetector: script exhausted");
    DetectionResult r = script_.front();
    script_.pop_front();
    return {r};
  }

  std::vector<std::string> texts;
  std::vector<Device> devices;
  std::vector<double> thresholds;
  std::vector<std::pair<int, int>> sizes;

 private:
  std::deque<DetectionResult> script_;
};

// Segments each box prompt: with scripted masks queued, returns the next set;
// otherwise fills an ellipse inscribed in each box.
class FakePredictor : public ImagePredictor {
 public:
  void set_image(const cv::Mat& image_rgb) override {
    image_size = image_rgb.size();
    set_image_calls++;
  }
  Prediction predict(const std::optional<std::vector<cv::Point2f>>& point_coords,
                     const std::optional<std::vector<int>>& point_labels, const std::vector<Box>& box,
                     bool multimask_output) override {
    if (point_coords || point_labels || multimask_output) throw std::logic_error("unexpected prompt");
    prompts.push_back(box);
    Prediction p;
    if (!scripted_masks.empty()) {
      p.masks = scripted_masks.front();
      scripted_masks.pop_front();
    } else {
      for (const Box& b : box) {
        cv::Mat1b m = cv::Mat1b::zeros(image_size);
        const cv::Point2d c((b[0] + b[2]) / 2, (b[1] + b[3]) / 2);
        const cv::Size axes(std::max(1, int((b[2] - b[0]) / 2)), std::max(1, int((b[3] - b[1]) / 2)));
        cv::ellipse(m, cv::Point(int(c.x), int(c.y)), axes, 0, 0, 360, 1, cv::FILLED);
        p.masks.push_back(m);
      }
    }
    p.scores.assign(p.masks.size(), 0.9f);
    p.logits.assign(p.masks.size(), cv::Mat());
    return p;
  }
  ImageEncoder& image_encoder() override {
    if (encoder == nullptr) throw std::logic_error("FakePredictor has no image encoder");
    return *encoder;
  }

  cv::Size image_size;
  int set_image_calls = 0;
  std::vector<std::vector<Box>> prompts;
  std::deque<std::vector<cv::Mat>> scripted_masks;
  ImageEncoder* encoder = nullptr;  // optional, not owned
};

}  // namespace pelk::testing
