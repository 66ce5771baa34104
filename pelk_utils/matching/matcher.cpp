#include "pelk_utils/matching/matcher.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "pelk_utils/core/overlap.hpp"
#include "pelk_utils/core/path.hpp"
#include "pelk_utils/detect/drawing.hpp"
#include "pelk_utils/matching/last_frame.hpp"
#include "pelk_utils/core/output.hpp"
#include "pelk_utils/core/stop.hpp"

namespace pelk {
namespace {

std::vector<std::string> kept_boxes(const std::vector<std::optional<std::string>>& removed) {
  std::vector<std::string> keep;
  for (int i = 0; i < kAnimalsPerPen; ++i) {
    const std::string key = "Box" + std::to_string(i);
    if (std::find(removed.begin(), removed.end(), std::optional<std::string>(key)) == removed.end()) {
      keep.push_back(key);
    }
  }
  return keep;
}


// The three tests of a match, in order, short-circuited.
bool accepted(const std::vector<Mask>& masks, std::size_t n_track, int min_area) {
  MaskDict dict;
  for (std::size_t i = 0; i < masks.size(); ++i) dict.insert_or_assign("Box" + std::to_string(i), masks[i]);
  const AreaMap areas = mask_areas(dict);
  const IntersectionsTable table = intersection_between_masks(dict, areas);
  const std::span<const double> cells = table.cells();
  if (!std::all_of(cells.begin(), cells.end(), [](double v) { return v <= 10; })) return false;
  if (masks.size() != n_track) return false;
  return std::all_of(areas.begin(), areas.end(), [&](const auto& entry) { return entry.second >= min_area; });
}

}  // namespace

MatchResult matcher(ClipAnnotationData& laste_frame, const std::vector<std::string>& frame_names, int ann_frame_idx,
                    ImagePredictor* image_predictor,
                    const std::optional<std::vector<std::optional<std::string>>>& remove_stack_box, int min_area,
                    int max_attempts, const std::function<void(const cv::Mat&)>& display_func) {
  const std::vector<std::optional<std::string>> removed = remove_stack_box.value_or(
      std::vector<std::optional<std::string>>{});
  // The records are the caller's: the removal of stacked keys reaches them.
  throw_if_stop_requested();
  const BestLastFrame best = find_best_laste_frame(laste_frame, min_area, max_attempts, removed);
  std::vector<std::string> keep_box = kept_boxes(removed);
  if (best.no_best_laste_frame) {
    output() << "Issue is from the laste frame, not enough masks found.\n";
    return {};
  }
  std::vector<Box> last_boxes;
  for (const auto& [key, mask] : best.best_laste_frame->masks_dict) last_boxes.push_back(mask.box());
  const std::size_t n_track = last_boxes.size();

  const std::string& path = frame_name_at(frame_names, ann_frame_idx, "ann_frame_idx");
  const cv::Mat bgr = cv::imread(path, cv::IMREAD_COLOR);
  if (bgr.empty()) throw std::runtime_error("cannot read frame image '" + path + "'");
  if (image_predictor == nullptr) throw std::invalid_argument("matcher needs an image_predictor to segment '" + path + "'");
  cv::Mat rgb;
  cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
  throw_if_stop_requested();
  image_predictor->set_image(rgb);
  throw_if_stop_requested();
  const Prediction prediction = image_predictor->predict(std::nullopt, std::nullopt, last_boxes, false);
  throw_if_stop_requested();
  const std::vector<Mask> masks = frame_masks(prediction.masks, rgb.size(), "matcher (segmenter's predict)");

  const bool ok = accepted(masks, n_track, min_area);
  if (display_func) display_func(img_bbx_drawing(bgr.clone(), best.best_laste_frame->masks_dict));
  if (!ok) {
    if (masks.size() != n_track) {
      output() << "the segmenter returned " << masks.size() << " masks for " << n_track << " boxes\n";
    }
    output() << "ann_frame_idx [" << ann_frame_idx << "] cannot work..\n\n";
    return {};
  }
  output() << "ann_frame_idx [" << ann_frame_idx << "] works for mask finding!!!\n";
  std::vector<std::string> objects(masks.size(), "pig");
  return {std::move(masks), std::move(objects), std::move(keep_box), best.best_laste_frame, false};
}

std::vector<bool> masks_on_detections(const std::vector<Mask>& masks, const std::vector<Box>& detections,
                                      double min_share) {
  std::vector<bool> on;
  for (const Mask& mask : masks) {
    const std::int64_t area = mask.area();
    bool found = false;
    for (const Box& b : detections) {
      if (area == 0 || found) break;
      const cv::Rect box(cv::Point(static_cast<int>(std::floor(b[0])), static_cast<int>(std::floor(b[1]))),
                         cv::Point(static_cast<int>(std::ceil(b[2])) + 1, static_cast<int>(std::ceil(b[3])) + 1));
      const cv::Rect inside = box & mask.bounds();
      if (inside.empty()) continue;
      const std::int64_t covered = cv::countNonZero(mask.window(inside));
      found = static_cast<double>(covered) >= min_share * static_cast<double>(area);
    }
    on.push_back(found);
  }
  return on;
}

}  // namespace pelk
