// Gathering of the evidence the identity repair and the day chain decide on:
// which frames to compare, where each animal was and was heading, and how
// each looks on its nearest whole masks.
#include "pelk_utils/matching/internal/repair_evidence.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <stdexcept>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "pelk_utils/core/overlap.hpp"
#include "pelk_utils/matching/region_features.hpp"

namespace pelk::internal {
namespace {

// Per box of `boxes`, up to `count` frame keys from `from` in steps of
// `step` (within `limit` steps, nearest first) in which its mask is whole:
// within `share` of its usual area either way and neither covering nor
// covered by another of `boxes` by more than `thrr` percent. A mask that
// lost part of its animal, or took in part of another, says nothing of the
// animal's looks.
std::vector<std::vector<int>> whole_frames(const ClipAnnotationData& clip, const std::vector<std::string>& boxes,
                                           const UsualAreas& usual, int from, int step, int limit, int count,
                                           double share, double thrr) {
  std::vector<std::vector<int>> out(boxes.size());
  for (int k = 0, key = from; k < limit; ++k, key += step) {
    const auto it = clip.find(key);
    if (it == clip.end()) break;
    const FrameRecord& r = it->second;
    for (std::size_t i = 0; i < boxes.size(); ++i) {
      if (static_cast<int>(out[i].size()) >= count || !present(r, boxes[i])) continue;
      const auto u = usual.find(boxes[i]);
      const double area = static_cast<double>(r.masks_dict.at(boxes[i]).area());
      if (u == usual.end() || area < share * u->second || share * area > u->second) continue;
      bool apart = true;
      for (std::size_t j = 0; j < boxes.size() && apart; ++j) {
        apart = j == i || !present(r, boxes[j]) || overlap_percent(r, boxes[i], boxes[j]) <= thrr;
      }
      if (apart) out[i].push_back(key);
    }
  }
  return out;
}

// The appearance of `boxes` at their whole frames on one side, per rank
// (nearest first; a box with fewer frames repeats its last): as seen, or
// turned upright. Empty when some box has no whole frame on that side.
std::vector<std::vector<std::optional<torch::Tensor>>> side_looks(const ClipAnnotationData& clip,
                                                                  const std::vector<std::string>& boxes,
                                                                  const std::vector<std::vector<int>>& frames,
                                                                  bool upright, ImagePredictor& predictor) {
  std::size_t ranks = 0;
  for (const auto& f : frames) {
    if (f.empty()) return {};
    ranks = std::max(ranks, f.size());
  }
  // Each frame image is read once, for the boxes wanted from it.
  std::map<int, std::vector<std::size_t>> wanted;
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    for (const int key : frames[i]) wanted[key].push_back(i);
  }
  std::map<std::pair<int, std::size_t>, std::optional<torch::Tensor>> feature;
  for (const auto& [key, which] : wanted) {
    const FrameRecord& r = clip.at(key);
    const cv::Mat image = cv::imread(r.image_path, cv::IMREAD_COLOR);
    if (image.empty()) throw std::runtime_error("cannot read frame image '" + r.image_path + "'");
    std::vector<Mask> masks;
    for (const std::size_t i : which) masks.push_back(r.masks_dict.at(boxes[i]));
    auto features = upright ? generate_upright_region_features(image, masks, predictor)
                            : generate_sam2_image_features(image, masks, predictor);
    for (std::size_t n = 0; n < which.size(); ++n) feature[{key, which[n]}] = std::move(features[n]);
  }
  std::vector<std::vector<std::optional<torch::Tensor>>> out(ranks);
  for (std::size_t k = 0; k < ranks; ++k) {
    for (std::size_t i = 0; i < boxes.size(); ++i) out[k].push_back(feature.at({frames[i][std::min(k, frames[i].size() - 1)], i}));
  }
  return out;
}

// The angle of each box's body axis at its nearest whole frame.
std::vector<double> nearest_axes(const ClipAnnotationData& clip, const std::vector<std::string>& boxes,
                                 const std::vector<std::vector<int>>& frames) {
  std::vector<double> out;
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    out.push_back(principal_axis_degrees(clip.at(frames[i].front()).masks_dict.at(boxes[i])));
  }
  return out;
}

// Whether some assignment of the animals after to those before (from[j]:
// the animal before taken for box j after; `after` has at most as many as
// `before`) keeps every body axis within `degrees`.
bool some_assignment_keeps_axes(const std::vector<double>& before, const std::vector<double>& after, double degrees) {
  std::vector<int> from(before.size());
  for (std::size_t i = 0; i < from.size(); ++i) from[i] = static_cast<int>(i);
  do {
    bool kept = true;
    for (std::size_t j = 0; j < after.size() && kept; ++j) {
      kept = std::abs(std::remainder(after[j] - before[static_cast<std::size_t>(from[j])], 180.0)) <= degrees;
    }
    if (kept) return true;
  } while (std::next_permutation(from.begin(), from.end()));
  return false;
}

}  // namespace

UsualAreas usual_areas(const ClipAnnotationData& clip) {
  std::map<std::string, std::vector<double>> areas;
  for (const auto& [key, record] : clip) {
    for (const auto& [box, mask] : record.masks_dict) {
      if (!mask.empty()) areas[box].push_back(static_cast<double>(mask.area()));
    }
  }
  UsualAreas out;
  for (auto& [box, a] : areas) {
    std::nth_element(a.begin(), a.begin() + static_cast<long>(a.size() / 2), a.end());
    out[box] = a[a.size() / 2];
  }
  return out;
}

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

bool present(const FrameRecord& r, const std::string& box) {
  return r.masks_dict.contains(box) && !r.masks_dict.at(box).empty();
}

// Whether every box of `seen` is present in `r` and covers no other box of
// `boxes` present there (nor is covered by it) by more than `thrr` percent.
// With `seen` = `boxes`: all present, no two covering each other.
bool all_apart(const FrameRecord& r, const std::vector<std::string>& seen, const std::vector<std::string>& boxes,
               double thrr) {
  for (const std::string& a : seen) {
    if (!present(r, a)) return false;
    for (const std::string& b : boxes) {
      if (b != a && present(r, b) && overlap_percent(r, a, b) > thrr) return false;
    }
  }
  return true;
}

// Returns up to `count` frame keys from `from` in steps of `step` where the
// `seen` boxes are present and apart from every box of `boxes`, within
// `limit` steps, nearest first.
std::vector<int> apart_frames(const ClipAnnotationData& clip, const std::vector<std::string>& seen,
                              const std::vector<std::string>& boxes, int from, int step, int limit, int count,
                              double thrr) {
  std::vector<int> out;
  for (int k = 0, key = from; k < limit && static_cast<int>(out.size()) < count; ++k, key += step) {
    const auto it = clip.find(key);
    if (it == clip.end()) break;
    if (all_apart(it->second, seen, boxes, thrr)) out.push_back(key);
  }
  return out;
}

// As apart_frames, with every box of `boxes` seen.
std::vector<int> clear_frames(const ClipAnnotationData& clip, const std::vector<std::string>& boxes, int from, int step,
                              int limit, int count, double thrr) {
  return apart_frames(clip, boxes, boxes, from, step, limit, count, thrr);
}

cv::Point2d centroid(const Mask& m) {
  const cv::Moments mo = cv::moments(m.roi(), true);
  return {m.bounds().x + mo.m10 / mo.m00, m.bounds().y + mo.m01 / mo.m00};
}

// The velocity of `box` at frame `at` (pixels per frame) from the farthest
// frame within `frames` steps of `step` where it is present; 0 when none.
cv::Point2d velocity(const ClipAnnotationData& clip, const std::string& box, int at, int step, int frames) {
  const cv::Point2d here = centroid(clip.at(at).masks_dict.at(box));
  for (int back = frames; back >= 1; --back) {
    const auto it = clip.find(at + step * back);
    if (it == clip.end() || !present(it->second, box)) continue;
    return (here - centroid(it->second.masks_dict.at(box))) * (1.0 / (step * back));
  }
  return {0, 0};
}

// The position of `box` in `boxes`; boxes.size() when it is not there.
std::size_t index_of(const std::vector<std::string>& boxes, const std::string& box) {
  return static_cast<std::size_t>(std::find(boxes.begin(), boxes.end(), box) - boxes.begin());
}

// Gathers the evidence on `boxes` before the episode and on `seen` (a
// subset of `boxes`, in its own order) after it.
Evidence gather(const ClipAnnotationData& clip, const std::vector<std::string>& boxes, const std::vector<std::string>& seen,
                const std::vector<int>& before, const std::vector<int>& after, ImagePredictor& predictor,
                const UsualAreas& usual, const RepairSettings& s) {
  Evidence ev;
  // Appearance from each animal's nearest whole masks, which may lie further
  // out than the compared frames: an animal the tracker is losing as it
  // comes near another has a shred of a mask there.
  const auto whole = [&](int from, int step) {
    return whole_frames(clip, boxes, usual, from, step, s.search_frames, s.side_frames, s.whole_share, s.apart_percent);
  };
  const auto wb = whole(before.front(), -1), all_after = whole(after.front(), 1);
  std::vector<std::vector<int>> wa;
  for (const std::string& box : seen) {
    wa.push_back(all_after[index_of(boxes, box)]);
  }
  const auto missing = [](const std::vector<std::vector<int>>& w) {
    return std::any_of(w.begin(), w.end(), [](const auto& f) { return f.empty(); });
  };
  if (!missing(wb) && !missing(wa)) {
    // Animals that lie as they lay under some assignment are compared as
    // seen (how each lies is itself a sign of who it is); when every
    // assignment has an animal turned, upright.
    const bool upright = !some_assignment_keeps_axes(nearest_axes(clip, boxes, wb), nearest_axes(clip, seen, wa),
                                                     s.turn_degrees);
    const auto fb = side_looks(clip, boxes, wb, upright, predictor);
    const auto fa = side_looks(clip, seen, wa, upright, predictor);
    for (const auto& b : fb) {
      for (const auto& a : fa) {
        const cv::Mat1d c = cosine_scores_cal(a, b);
        if (cv::checkRange(c)) ev.cosines.push_back(c);  // a pair with an unreadable region says nothing
      }
    }
  }
  const int b0 = before.front(), a0 = after.front();
  const double reach = std::min(a0 - b0, s.motion_frames);
  double area = 0;
  for (const std::string& box : boxes) {
    const Mask& mb = clip.at(b0).masks_dict.at(box);
    ev.p.push_back(centroid(mb));
    ev.ahead.push_back(ev.p.back() + velocity(clip, box, b0, -1, s.motion_frames) * reach);
    area += static_cast<double>(mb.area()) / (2.0 * static_cast<double>(boxes.size()));
  }
  for (const std::string& box : seen) {
    const Mask& ma = clip.at(a0).masks_dict.at(box);
    ev.q.push_back(centroid(ma));
    ev.behind.push_back(ev.q.back() - velocity(clip, box, a0, 1, s.motion_frames) * reach);
    area += static_cast<double>(ma.area()) / (2.0 * static_cast<double>(seen.size()));
  }
  ev.scale = std::max(std::sqrt(area), 1.0);
  return ev;
}

Costs3 costs_of(const Evidence& ev, const std::vector<int>& from) {
  Costs3 c;
  for (const cv::Mat1d& s : ev.cosines) {
    for (std::size_t j = 0; j < from.size(); ++j) c.appearance += 1 - s(static_cast<int>(j), from[j]);
  }
  if (!ev.cosines.empty()) c.appearance /= static_cast<double>(ev.cosines.size());
  for (std::size_t j = 0; j < from.size(); ++j) {
    const auto i = static_cast<std::size_t>(from[j]);
    c.position += cv::norm(ev.q[j] - ev.p[i]) / ev.scale;
    c.heading += (cv::norm(ev.q[j] - ev.ahead[i]) + cv::norm(ev.behind[j] - ev.p[i])) / (2 * ev.scale);
  }
  return c;
}

std::vector<int> identity(std::size_t n) {
  std::vector<int> out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<int>(i);
  return out;
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

}  // namespace pelk::internal
