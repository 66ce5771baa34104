#include "pelk_utils/detect/initializer.hpp"

#include <set>
#include <stdexcept>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "pelk_utils/core/overlap.hpp"
#include "pelk_utils/core/py_text.hpp"
#include "pelk_utils/detect/detection_filter.hpp"
#include "pelk_utils/detect/drawing.hpp"
#include "pelk_utils/detect/pen.hpp"
#include "pelk_utils/core/output.hpp"

namespace pelk {
namespace {

// Keeps the rows of `d` whose flag in `keep` is true.
FilteredDetections select(const FilteredDetections& d, const std::vector<bool>& keep) {
  FilteredDetections out;
  for (std::size_t i = 0; i < d.boxes.size(); ++i) {
    if (!keep[i]) continue;
    out.boxes.push_back(d.boxes[i]);
    out.scores.push_back(d.scores[i]);
    out.labels.push_back(d.labels[i]);
  }
  return out;
}

std::vector<bool> size_filter(const std::vector<Box>& boxes, int frame_height) {
  std::vector<bool> keep;
  const double half = 0.5 * frame_height;
  for (const Box& b : boxes) {
    const double area = (b[2] - b[0]) * (b[3] - b[1]);
    keep.push_back(b[1] < half ? area < kUpperAreaLimit : area < kLowerAreaLimit);
  }
  return keep;
}

FilteredDetections detect(const cv::Mat& rgb, DetectionProcessor& processor, GroundingModel& model,
                          const Device& device, double gdino_thr) {
  std::unique_ptr<ModelInputs> inputs = processor(rgb, "pig.");
  inputs->to(device);
  std::unique_ptr<ModelOutputs> outputs = model(*inputs);
  const auto results = processor.post_process_grounded_object_detection(*outputs, inputs->input_ids(), gdino_thr,
                                                                         {{rgb.rows, rgb.cols}});
  return process_gdino_results(results);
}

std::vector<Mask> segment(const cv::Mat& rgb, ImagePredictor& predictor, const std::vector<Box>& boxes) {
  if (boxes.empty()) return {};
  predictor.set_image(rgb);
  const Prediction p = predictor.predict(std::nullopt, std::nullopt, boxes, false);
  if (p.masks.size() != boxes.size()) {
    throw std::invalid_argument("segmenter returned " + std::to_string(p.masks.size()) + " masks for " +
                                std::to_string(boxes.size()) + " boxes");
  }
  return frame_masks(p.masks, rgb.size(), "initializer (segmenter's predict)");
}

// Returns the positions to drop: of each pair whose overlap exceeds the
// stacking threshold, the box with the lower score (the row box on a tie).
std::set<int> stacked_positions(const IntersectionsTable& table, const std::vector<float>& scores) {
  std::set<int> removed;
  const int n = static_cast<int>(table.size());
  for (int row = 0; row < n; ++row) {
    for (int col = 0; col < n; ++col) {
      if (!(table.at(row, col) > kStackingPercent)) continue;
      removed.insert(scores[row] > scores[col] ? col : row);
    }
  }
  return removed;
}

}  // namespace

std::optional<InitializedClip> initializer(const std::string& video_dir, const std::vector<std::string>& frame_names,
                                           DetectionProcessor& processor, GroundingModel& grounding_model,
                                           const Device& device, ImagePredictor& image_predictor, int start_index,
                                           int step, double gdino_thr, int close_set_num,
                                           const std::optional<std::string>& custom_pen_json_path) {
  if (step < 1) throw std::invalid_argument("initializer: step must be at least 1, got " + std::to_string(step));
  if (start_index < 0) {
    throw std::invalid_argument("initializer: start_index must not be negative, got " + std::to_string(start_index));
  }
  const std::optional<std::string> pen_json_path = get_pen_json_path(video_dir, custom_pen_json_path);
  output() << "Using pen JSON path: " << pen_json_path.value_or("None") << "\n";

  const auto n_frames = static_cast<long>(frame_names.size());
  for (long idx = start_index; idx < n_frames; idx += step) {
    const std::string& img_path = frame_names[static_cast<std::size_t>(idx)];
    const cv::Mat image = cv::imread(img_path, cv::IMREAD_COLOR);
    if (image.empty()) throw std::runtime_error("cannot read frame image '" + img_path + "'");
    cv::Mat rgb;
    cv::cvtColor(image, rgb, cv::COLOR_BGR2RGB);

    FilteredDetections d = detect(rgb, processor, grounding_model, device, gdino_thr);
    if (d.boxes.empty()) {
      output() << "No boxes found in frame " << idx << ". Skipping to next frame.\n";
      continue;
    }
    if (!pen_json_path) {
      throw std::runtime_error("no pen polygon file for video_dir '" + video_dir +
                               "': pass custom_pen_json_path");
    }
    const PenPolygon pen = draw_pen(img_path, *pen_json_path).polygon_points;
    check_pen_area(pen, *pen_json_path);
    d = select(d, calculate_pen_intersection_ratio(pen, d.boxes, kInPenRatio).in_pen_index);
    d = select(d, size_filter(d.boxes, image.rows));

    const std::vector<Mask> masks = segment(rgb, image_predictor, d.boxes);
    MaskDict masks_dict;
    for (std::size_t i = 0; i < masks.size(); ++i) masks_dict.insert_or_assign("Box" + std::to_string(i), masks[i]);
    const IntersectionsTable intersections_df = intersection_between_masks(masks_dict, mask_areas(masks_dict));

    const std::set<int> removed = stacked_positions(intersections_df, d.scores);
    std::vector<int> boxkeys;
    for (int i = 0; i < static_cast<int>(masks.size()); ++i) {
      if (!removed.count(i)) boxkeys.push_back(i);
    }
    output() << "Boxes will be kept: " << numpy_array_text(boxkeys) << ", totally " << boxkeys.size() << " keys\n";

    const int kept = static_cast<int>(boxkeys.size());
    if (kept == close_set_num) {
      InitializedClip clip;
      std::vector<float> kept_scores;
      MaskDict objects;
      for (int i : boxkeys) {
        clip.masks.push_back(masks[static_cast<std::size_t>(i)]);
        kept_scores.push_back(d.scores[static_cast<std::size_t>(i)]);
        objects.insert_or_assign("Box" + std::to_string(objects.size()), masks[static_cast<std::size_t>(i)]);
      }
      output() << "ann_frame_idx [" << idx << "] works!!!\n";
      output() << numpy_array_text(kept_scores) << "\n";
      clip.intersections_df = intersections_df;
      clip.ann_frame_idx = static_cast<int>(idx);
      clip.annotated_frame = img_bbx_drawing(image, objects);
      return clip;
    }
    const char* why = kept > close_set_num ? "too many" : "too few";
    output() << "ann_frame_idx [" << idx << "] cannot work, " << why << " bbx found..\n\n";
  }
  return std::nullopt;
}

}  // namespace pelk
