#include "pelk_utils/matching/identity_repair.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <limits>
#include <tuple>
#include <stdexcept>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "pelk_utils/annotation/annotation_file.hpp"
#include "pelk_utils/core/overlap.hpp"
#include "pelk_utils/matching/region_features.hpp"
#include "pelk_utils/core/number.hpp"

namespace pelk {
namespace {

double overlap_percent(const FrameRecord& r, const std::string& a, const std::string& b) {
  const Mask& ma = r.masks_dict.at(a);
  const Mask& mb = r.masks_dict.at(b);
  if (ma.empty() || mb.empty()) return 0;
  const double inter = static_cast<double>(intersection_area(ma, mb));
  return 100.0 * std::max(inter / static_cast<double>(ma.area()), inter / static_cast<double>(mb.area()));
}

bool both_present(const FrameRecord& r, const std::string& a, const std::string& b) {
  return r.masks_dict.contains(a) && r.masks_dict.contains(b) && !r.masks_dict.at(a).empty() &&
         !r.masks_dict.at(b).empty();
}

// Returns the nearest frame key from `from` in steps of `step` where both
// boxes are present and apart, within `limit` steps.
std::optional<int> clear_frame(const ClipAnnotationData& clip, const OverlapEpisode& e, int from, int step, int limit,
                               double thrr) {
  for (int k = 0, key = from; k < limit; ++k, key += step) {
    const auto it = clip.find(key);
    if (it == clip.end()) return std::nullopt;
    if (both_present(it->second, e.box_a, e.box_b) && overlap_percent(it->second, e.box_a, e.box_b) <= thrr) return key;
  }
  return std::nullopt;
}

cv::Point2d centroid(const Mask& m) {
  const cv::Moments mo = cv::moments(m.roi(), true);
  return {m.bounds().x + mo.m10 / mo.m00, m.bounds().y + mo.m01 / mo.m00};
}

// Where the animal of `box` may be at frame `at`: where it was at `before`,
// and where its motion over the frames before `before` carries it, over at
// most `motion_frames` frames (an animal that walks onto another stops;
// one that walks past keeps going).
std::vector<cv::Point2d> expected_positions(const ClipAnnotationData& clip, const std::string& box, int before, int at,
                                            int motion_frames) {
  const cv::Point2d here = centroid(clip.at(before).masks_dict.at(box));
  for (int back = motion_frames; back >= 1; --back) {
    const auto it = clip.find(before - back);
    if (it == clip.end() || !it->second.masks_dict.contains(box) || it->second.masks_dict.at(box).empty()) continue;
    const cv::Point2d velocity = (here - centroid(it->second.masks_dict.at(box))) / back;
    return {here, here + velocity * std::min(at - before, motion_frames)};
  }
  return {here};
}

double cosine(const std::optional<torch::Tensor>& a, const std::optional<torch::Tensor>& b) {
  if (!a || !b) return 0;
  const cv::Mat1d s = cosine_scores_cal({a}, {b});
  return s(0, 0);
}

// Exchanges the masks of two boxes in every frame after `after_key`.
void swap_boxes(ClipAnnotationData& clip, const std::string& a, const std::string& b, int after_key) {
  for (auto& [key, record] : clip) {
    if (key <= after_key) continue;
    const bool has_a = record.masks_dict.contains(a), has_b = record.masks_dict.contains(b);
    if (!has_a && !has_b) continue;
    const Mask ma = has_a ? record.masks_dict.at(a) : Mask(), mb = has_b ? record.masks_dict.at(b) : Mask();
    if (has_b) record.masks_dict.insert_or_assign(a, mb);
    if (has_a) record.masks_dict.insert_or_assign(b, ma);
    if (!has_b) record.masks_dict.erase(a);
    if (!has_a) record.masks_dict.erase(b);
    record.mask_areas = mask_areas(record.masks_dict);
  }
}

SwapDecision decide(const ClipAnnotationData& clip, const OverlapEpisode& e, ImagePredictor& predictor,
                    const RepairSettings& s) {
  SwapDecision d{e};
  d.before_frame = clear_frame(clip, e, e.first_frame - 1, -1, s.search_frames, s.apart_percent);
  d.after_frame = clear_frame(clip, e, e.last_frame + 1, 1, s.search_frames, s.apart_percent);
  if (!d.before_frame || !d.after_frame) {
    d.reason = std::string("no frame with both animals apart ") + (d.before_frame ? "after" : "before") + " the episode";
    return d;
  }
  const FrameRecord& before = clip.at(*d.before_frame);
  const FrameRecord& after = clip.at(*d.after_frame);
  const auto features = [&](const FrameRecord& r) {
    const cv::Mat image = cv::imread(r.image_path, cv::IMREAD_COLOR);
    if (image.empty()) throw std::runtime_error("cannot read frame image '" + r.image_path + "'");
    return generate_sam2_image_features(image, {r.masks_dict.at(e.box_a), r.masks_dict.at(e.box_b)}, predictor);
  };
  const auto f_before = features(before), f_after = features(after);
  const std::string boxes[2] = {e.box_a, e.box_b};
  // cost[p][x]: box p after the episode as the animal box x was before it.
  double cost[2][2];
  for (int x = 0; x < 2; ++x) {
    const std::vector<cv::Point2d> expected =
        expected_positions(clip, boxes[x], *d.before_frame, *d.after_frame, s.motion_frames);
    for (int p = 0; p < 2; ++p) {
      const Mask& now = after.masks_dict.at(boxes[p]);
      const double scale = std::sqrt((static_cast<double>(now.area()) + static_cast<double>(before.masks_dict.at(boxes[x]).area())) / 2);
      double distance = std::numeric_limits<double>::infinity();
      for (const cv::Point2d& e : expected) distance = std::min(distance, cv::norm(centroid(now) - e) / std::max(scale, 1.0));
      cost[p][x] = (1 - cosine(f_after[static_cast<std::size_t>(p)], f_before[static_cast<std::size_t>(x)])) + distance;
    }
  }
  d.keep_cost = cost[0][0] + cost[1][1];
  d.swap_cost = cost[0][1] + cost[1][0];
  if (d.keep_cost - d.swap_cost > s.margin) {
    d.verdict = SwapVerdict::kSwap;
    d.reason = "the identities were exchanged";
  } else if (d.swap_cost - d.keep_cost > s.margin) {
    d.verdict = SwapVerdict::kKeep;
    d.reason = "the identities were kept";
  } else {
    d.reason = "no clear answer (the two assignments differ by less than the margin)";
  }
  return d;
}

}  // namespace

void check_repair_settings(const RepairSettings& s) {
  const auto refuse = [](const std::string& name, const std::string& rule, const std::string& value) {
    throw std::invalid_argument("repair setting " + name + " must be " + rule + ", got " + value);
  };
  if (!(std::isfinite(s.margin) && s.margin >= 0)) refuse("margin", "a finite number of 0 or more", format_number(s.margin));
  for (const auto& [name, value] : {std::pair{"intersection_thrr", s.intersection_thrr},
                                    std::pair{"apart_percent", s.apart_percent}}) {
    if (!(value >= 0 && value <= 100)) refuse(name, "a percentage from 0 to 100", format_number(value));
  }
  if (s.min_frames < 1) refuse("min_frames", "1 or more", std::to_string(s.min_frames));
  if (s.search_frames < 1) refuse("search_frames", "1 or more", std::to_string(s.search_frames));
  if (s.motion_frames < 0) refuse("motion_frames", "0 or more", std::to_string(s.motion_frames));
}

std::vector<OverlapEpisode> find_overlap_episodes(const ClipAnnotationData& clip, const RepairSettings& settings) {
  check_repair_settings(settings);
  std::map<std::pair<std::string, std::string>, std::vector<int>> frames;
  for (const auto& [key, record] : clip) {
    const std::vector<std::string> keys = record.masks_dict.keys();
    for (std::size_t i = 0; i < keys.size(); ++i) {
      for (std::size_t j = i + 1; j < keys.size(); ++j) {
        if (overlap_percent(record, keys[i], keys[j]) <= settings.intersection_thrr) continue;
        frames[std::minmax(keys[i], keys[j])].push_back(key);
      }
    }
  }
  std::vector<OverlapEpisode> out;
  for (const auto& [pair, keys] : frames) {
    std::size_t start = 0;
    for (std::size_t i = 1; i <= keys.size(); ++i) {
      if (i < keys.size() && keys[i] == keys[i - 1] + 1) continue;
      if (static_cast<int>(i - start) >= settings.min_frames) out.push_back({pair.first, pair.second, keys[start], keys[i - 1]});
      start = i;
    }
  }
  std::stable_sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.first_frame < b.first_frame; });
  return out;
}

std::vector<SwapDecision> decide_identity_swaps(const ClipAnnotationData& clip, ImagePredictor& image_predictor,
                                                const RepairSettings& settings) {
  check_repair_settings(settings);
  ClipAnnotationData working = clip;  // masks are shared, not copied
  std::vector<SwapDecision> out;
  std::set<std::tuple<int, int, std::string, std::string>> decided;
  // After a swap the keys after that episode change, and with them the
  // later episodes: they are found again on the corrected clip.
  for (int from = std::numeric_limits<int>::min();;) {
    std::optional<OverlapEpisode> next;
    for (const OverlapEpisode& e : find_overlap_episodes(working, settings)) {
      if (e.first_frame >= from && !decided.count({e.first_frame, e.last_frame, e.box_a, e.box_b})) {
        next = e;
        break;
      }
    }
    if (!next) break;
    decided.insert({next->first_frame, next->last_frame, next->box_a, next->box_b});
    from = next->first_frame;
    SwapDecision d = decide(working, *next, image_predictor, settings);
    if (d.verdict == SwapVerdict::kSwap) swap_boxes(working, next->box_a, next->box_b, next->last_frame);
    out.push_back(std::move(d));
  }
  return out;
}

std::vector<IdentitySwap> swaps_of(const std::vector<SwapDecision>& decisions) {
  std::vector<IdentitySwap> out;
  for (const SwapDecision& d : decisions) {
    if (d.verdict != SwapVerdict::kSwap) continue;
    out.push_back({d.episode.last_frame, object_id_of_key(d.episode.box_a), object_id_of_key(d.episode.box_b)});
  }
  return out;
}

}  // namespace pelk
