#include "pelk_utils/matching/overlap_resolution.hpp"

#include <algorithm>
#include <map>
#include <set>
#include <stdexcept>

#include <opencv2/imgcodecs.hpp>

#include "pelk_utils/core/py_text.hpp"
#include "pelk_utils/matching/region_features.hpp"
#include "pelk_utils/core/output.hpp"
#include "pelk_utils/core/stop.hpp"

namespace pelk {
namespace {

// The first single and first multiple frame of one pair, and its direction.
struct EpisodeStart {
  std::optional<int> single, multiple;
  bool reverse_track = false;
};

std::string frame_text(const std::optional<int>& frame) { return frame ? std::to_string(*frame) : "nan"; }

EpisodeStart episode_start(const std::vector<std::vector<int>>& runs, const std::vector<ReportRow>& table) {
  std::set<int> frames;
  for (const auto& run : runs) frames.insert(run.begin(), run.end());
  std::map<int, int> rows_per_frame;
  for (const ReportRow& row : table) {
    if (frames.count(row.frame_id)) ++rows_per_frame[row.frame_id];
  }
  const auto first = [&](bool single) -> std::optional<int> {
    for (const auto& [frame, count] : rows_per_frame) {
      if ((count == 1) == single) return frame;
    }
    return std::nullopt;
  };
  const auto last = [&](bool single) -> std::optional<int> {
    for (auto it = rows_per_frame.rbegin(); it != rows_per_frame.rend(); ++it) {
      if ((it->second == 1) == single) return it->first;
    }
    return std::nullopt;
  };
  EpisodeStart start{first(true), first(false), false};
  if (start.single == 0 || start.multiple == 0) start = {last(true), last(false), true};
  return start;
}

std::vector<std::string> sorted_boxes(const FrameRuns& runs) {
  std::set<std::string> boxes;
  for (const auto& [pair, pair_runs] : runs) {
    const std::string& key = std::get<std::string>(pair);
    std::size_t from = 0;
    for (std::size_t dash = key.find('-'); ; dash = key.find('-', from)) {
      boxes.insert(key.substr(from, dash == std::string::npos ? std::string::npos : dash - from));
      if (dash == std::string::npos) break;
      from = dash + 1;
    }
  }
  return {boxes.begin(), boxes.end()};
}

// The masks of `boxes` in one frame and its image (BGR).
struct FrameSide {
  std::vector<Mask> masks;
  cv::Mat image;
};

FrameSide side_of(const FrameRecord& record, const std::vector<std::string>& boxes) {
  FrameSide side;
  for (const std::string& key : boxes) {
    if (!record.masks_dict.contains(key)) {
      throw std::out_of_range("box key '" + key + "' is missing from frame " + std::to_string(record.frame_index) +
                              " ('" + record.json_path + "')");
    }
    side.masks.push_back(record.masks_dict.at(key));
  }
  side.image = cv::imread(record.image_path, cv::IMREAD_COLOR);
  if (side.image.empty()) throw std::runtime_error("cannot read frame image '" + record.image_path + "'");
  return side;
}

// Returns the record under frame key `key`, or throws std::out_of_range
// naming the key and its neighbours: the comparison window needs every
// frame between them (keys are positions, so a gap is a missing file).
const FrameRecord& frame_at(const ClipAnnotationData& clip, std::int64_t key) {
  const auto it = clip.find(static_cast<int>(key));
  if (it != clip.end()) return it->second;
  std::string where;
  const auto after = clip.upper_bound(static_cast<int>(key));
  if (after != clip.begin()) {
    const FrameRecord& before = std::prev(after)->second;
    where += "; the frame before it is key " + std::to_string(std::prev(after)->first) + " ('" + before.json_path + "')";
  }
  if (after != clip.end()) {
    where += "; the frame after it is key " + std::to_string(after->first) + " ('" + after->second.json_path + "')";
  }
  throw std::out_of_range("the clip has no frame key " + std::to_string(key) +
                          ", which the comparison window needs (an annotation file missing from the clip?)" + where);
}

double mask_iou(const Mask& a, const Mask& b) {
  const std::int64_t inter = intersection_area(a, b);
  return static_cast<double>(inter) / (static_cast<double>(a.area() + b.area() - inter) + 1e-06);
}

// Returns the mismatch scores of frame m against frame n, per box.
std::vector<double> mismatch_scores(const FrameSide& old_side, const FrameSide& new_side, ImagePredictor& predictor) {
  const auto old_features = generate_sam2_image_features(old_side.image, old_side.masks, predictor);
  const auto new_features = generate_sam2_image_features(new_side.image, new_side.masks, predictor);
  const cv::Mat1d cosine = cosine_scores_cal(new_features, old_features);
  std::vector<double> scores;
  for (std::size_t b = 0; b < old_side.masks.size(); ++b) {
    const double cos = cosine(static_cast<int>(b), static_cast<int>(b));
    scores.push_back(1.0 * (1 - cos) + 1.0 * (1 - mask_iou(old_side.masks[b], new_side.masks[b])) +
                     1.0 * (1 - bb_iou(old_side.masks[b].box(), new_side.masks[b].box())));
  }
  return scores;
}

// Returns the position of the largest score; the first wins ties.
std::size_t worst_position(const std::vector<double>& scores) {
  std::size_t worst = 0;
  for (std::size_t b = 1; b < scores.size(); ++b) {
    if (scores[b] > scores[worst]) worst = b;
  }
  return worst;
}

}  // namespace

std::string most_frequent_entry(const std::vector<std::string>& entries) {
  if (entries.empty()) throw std::invalid_argument("most_frequent_entry of an empty list");
  std::vector<std::pair<std::string, int>> counts;
  for (const std::string& e : entries) {
    auto it = std::find_if(counts.begin(), counts.end(), [&](const auto& c) { return c.first == e; });
    if (it == counts.end()) {
      counts.emplace_back(e, 1);
    } else {
      ++it->second;
    }
  }
  const auto best = std::max_element(counts.begin(), counts.end(),
                                     [](const auto& a, const auto& b) { return a.second < b.second; });
  return best->first;
}

double bb_iou(const Box& boxA, const Box& boxB) {
  const double xA = std::max(boxA[0], boxB[0]), yA = std::max(boxA[1], boxB[1]);
  const double xB = std::min(boxA[2], boxB[2]), yB = std::min(boxA[3], boxB[3]);
  const double inter = std::max(0.0, xB - xA) * std::max(0.0, yB - yA);
  const double area_a = (boxA[2] - boxA[0]) * (boxA[3] - boxA[1]);
  const double area_b = (boxB[2] - boxB[0]) * (boxB[3] - boxB[1]);
  return inter / (area_a + area_b - inter + 1e-06);
}

OverlapResolution process_overlap_frames(const std::vector<ReportRow>& overlap_frames_dataframe,
                                         const ClipAnnotationData& pelk_annotation_data,
                                         ImagePredictor& image_predictor, int n_consecutive) {
  std::set<std::string> pair_values;
  for (const ReportRow& row : overlap_frames_dataframe) {
    if (row.box_pair) pair_values.insert(*row.box_pair);
  }
  OverlapResolution out;
  // Window arithmetic is done in 64 bits: frame keys and run lengths may be
  // anywhere in the int range.
  const std::int64_t run_length = std::int64_t{n_consecutive} + (pair_values.size() > 1 ? 2 : 0);
  out.con_frames_dict = find_continuous_frames(overlap_frames_dataframe, "Box Pair", run_length);
  std::vector<std::string> pair_keys;
  for (const auto& [pair, runs] : out.con_frames_dict) pair_keys.push_back(std::get<std::string>(pair));
  output() << "Box pairs with continuous overlap frames: " << python_list_repr(pair_keys) << "\n";

  bool reverse_track = false;
  std::vector<int> first_frames;
  std::vector<int> first_multiple;
  for (const auto& [pair, runs] : out.con_frames_dict) {
    const EpisodeStart start = episode_start(runs, overlap_frames_dataframe);
    reverse_track = start.reverse_track;
    output() << "Box Pair: " << std::get<std::string>(pair) << "\n"
              << "First frame with a single boxpair: " << frame_text(start.single) << "\n"
              << "First frame with multiple boxpairs: " << frame_text(start.multiple) << "\n"
              << "reverse_track: " << (reverse_track ? "True" : "False") << "\n";
    if (start.single) first_frames.push_back(*start.single);
    if (start.multiple) first_multiple.push_back(*start.multiple);
  }
  const std::vector<std::string> test_boxes = sorted_boxes(out.con_frames_dict);
  out.test_boxes = test_boxes;
  first_frames.insert(first_frames.end(), first_multiple.begin(), first_multiple.end());
  if (first_frames.empty()) {
    output() << "No overlap episode with a first frame was found; nothing to compare.\n";
    return out;
  }
  const int test_frame = *std::min_element(first_frames.begin(), first_frames.end());
  out.test_frame = test_frame;
  const std::int64_t first = reverse_track ? std::int64_t{test_frame} : std::int64_t{test_frame} - 5;
  const std::int64_t n = reverse_track ? std::int64_t{test_frame} - 1 : std::int64_t{test_frame} + 1;
  const auto frames = static_cast<std::int64_t>(pelk_annotation_data.size());
  out.reference_frame = n;
  for (std::int64_t m = first; m < first + 5; ++m) {
    throw_if_stop_requested();
    if (n < 0 || n >= frames || m < 0 || m >= frames) continue;
    const FrameSide old_side = side_of(frame_at(pelk_annotation_data, m), test_boxes);
    const FrameSide new_side = side_of(frame_at(pelk_annotation_data, n), test_boxes);
    std::vector<double> scores = mismatch_scores(old_side, new_side, image_predictor);
    out.worst_boxes.push_back(test_boxes[worst_position(scores)]);
    out.frame_scores.push_back({static_cast<int>(m), std::move(scores)});
  }
  if (out.worst_boxes.empty()) {
    output() << "Every frame of the comparison window around frame " << test_frame
              << " lies outside the clip; no box was voted.\n";
    return out;
  }
  out.most_frequent_box = most_frequent_entry(out.worst_boxes);
  output() << "Most frequent box with errors: " << *out.most_frequent_box << "\n";
  return out;
}

}  // namespace pelk
