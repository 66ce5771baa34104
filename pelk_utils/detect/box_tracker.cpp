#include "pelk_utils/detect/box_tracker.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include <opencv2/imgproc.hpp>

namespace pelk {
namespace {

cv::Point2d centroid_of(const Mask& m) {
  const cv::Moments mo = cv::moments(m.roi(), true);
  return {mo.m10 / mo.m00 + m.bounds().x, mo.m01 / mo.m00 + m.bounds().y};
}

Box grown(const Box& b, int margin, cv::Size frame) {
  return Box{std::max(0.0, b[0] - margin), std::max(0.0, b[1] - margin),
             std::min(frame.width - 1.0, b[2] + margin), std::min(frame.height - 1.0, b[3] + margin)};
}

bool stacked(const Mask& a, const Mask& b, double percent) {
  if (a.empty() || b.empty()) return false;
  const double inter = static_cast<double>(intersection_area(a, b));
  return inter * 100 > percent * static_cast<double>(a.area()) || inter * 100 > percent * static_cast<double>(b.area());
}

}  // namespace

BoxPropagationTracker::BoxPropagationTracker(ImagePredictor& predictor, std::vector<Mask> initial,
                                             DetectionProcessor* processor, GroundingModel* model,
                                             BoxTrackerSettings settings)
    : predictor_(predictor), processor_(processor), model_(model), settings_(settings) {
  for (Mask& m : initial) {
    Object o;
    if (!m.empty()) {
      o.last_box = m.box();
      o.anchor = centroid_of(m);
    }
    o.mask = std::move(m);
    objects_.push_back(std::move(o));
  }
}

std::vector<Mask> BoxPropagationTracker::track(const cv::Mat& image_bgr) {
  cv::Mat rgb;
  cv::cvtColor(image_bgr, rgb, cv::COLOR_BGR2RGB);
  predictor_.set_image(rgb);
  std::vector<Box> boxes;
  std::vector<std::size_t> prompted;
  for (std::size_t i = 0; i < objects_.size(); ++i) {
    if (!objects_[i].last_box) continue;
    boxes.push_back(grown(*objects_[i].last_box, settings_.box_margin_px, rgb.size()));
    prompted.push_back(i);
  }
  const Prediction p = boxes.empty() ? Prediction{} : predictor_.predict(std::nullopt, std::nullopt, boxes, false);
  for (Object& o : objects_) o.mask = Mask(rgb.size(), cv::Rect(), cv::Mat1b());
  const std::vector<Mask> masks = frame_masks(p.masks, rgb.size(), "tracker (segmenter's predict)");
  for (std::size_t k = 0; k < prompted.size() && k < masks.size(); ++k) objects_[prompted[k]].mask = masks[k];

  std::vector<bool> needs(objects_.size(), false);
  for (std::size_t i = 0; i < objects_.size(); ++i) {
    needs[i] = needs[i] || objects_[i].mask.empty();
    for (std::size_t j = i + 1; j < objects_.size(); ++j) {
      if (stacked(objects_[i].mask, objects_[j].mask, settings_.stacked_percent)) needs[i] = needs[j] = true;
    }
  }
  if (processor_ && model_ && std::find(needs.begin(), needs.end(), true) != needs.end()) reacquire(rgb, needs);

  std::vector<Mask> out;
  for (std::size_t i = 0; i < objects_.size(); ++i) {
    Object& o = objects_[i];
    if (!o.mask.empty()) {
      o.last_box = o.mask.box();
      bool alone = true;
      for (std::size_t j = 0; j < objects_.size(); ++j) {
        alone = alone && (j == i || !stacked(o.mask, objects_[j].mask, settings_.stacked_percent));
      }
      if (alone) o.anchor = centroid_of(o.mask);
    }
    out.push_back(o.mask);
  }
  return out;
}

void BoxPropagationTracker::reacquire(const cv::Mat& rgb, const std::vector<bool>& needs) {
  const auto inputs = (*processor_)(rgb, "pig.");
  inputs->to("cpu");
  const auto outputs = (*model_)(*inputs);
  const DetectionResult found = processor_->post_process_grounded_object_detection(
      *outputs, inputs->input_ids(), settings_.text_threshold, {{rgb.rows, rgb.cols}})[0];
  // Detections whose centre no current mask covers are animals nobody follows.
  std::vector<Box> free;
  for (const Box& b : found.boxes) {
    const int cx = static_cast<int>((b[0] + b[2]) / 2), cy = static_cast<int>((b[1] + b[3]) / 2);
    bool covered = false;
    for (const Object& o : objects_) covered = covered || o.mask.at(cx, cy) != 0;
    if (!covered) free.push_back(b);
  }
  std::vector<bool> taken(objects_.size(), false);
  for (const Box& b : free) {
    const cv::Point2d centre((b[0] + b[2]) / 2, (b[1] + b[3]) / 2);
    std::size_t best = objects_.size();
    double best_d = settings_.reacquire_distance_px;
    for (std::size_t i = 0; i < objects_.size(); ++i) {
      if (!needs[i] || taken[i]) continue;
      const double d = std::hypot(objects_[i].anchor.x - centre.x, objects_[i].anchor.y - centre.y);
      if (d < best_d) best_d = d, best = i;
    }
    if (best == objects_.size()) continue;
    const Prediction p = predictor_.predict(std::nullopt, std::nullopt, {b}, false);
    if (p.masks.empty()) continue;
    objects_[best].mask = frame_masks({p.masks[0]}, rgb.size(), "tracker (segmenter's predict)")[0];
    taken[best] = true;
  }
  // An object still without a mask whose last box meets a detection that
  // others already follow is lying on (or under) them: it shares that mask.
  for (std::size_t i = 0; i < objects_.size(); ++i) {
    Object& o = objects_[i];
    if (!o.mask.empty() || !o.last_box) continue;
    const Box near = grown(*o.last_box, 4 * settings_.box_margin_px, rgb.size());
    const Box* best = nullptr;
    double best_overlap = 0;
    for (const Box& b : found.boxes) {
      const double w = std::min(near[2], b[2]) - std::max(near[0], b[0]);
      const double h = std::min(near[3], b[3]) - std::max(near[1], b[1]);
      if (w > 0 && h > 0 && w * h > best_overlap) best_overlap = w * h, best = &b;
    }
    if (best == nullptr) continue;
    const Prediction p = predictor_.predict(std::nullopt, std::nullopt, {*best}, false);
    if (!p.masks.empty()) o.mask = frame_masks({p.masks[0]}, rgb.size(), "tracker (segmenter's predict)")[0];
  }
}

}  // namespace pelk
