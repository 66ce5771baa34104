#include "pelk_utils/matching/identity_repair.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>
#include <limits>
#include <tuple>
#include <stdexcept>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "pelk_utils/annotation/annotation_file.hpp"
#include "pelk_utils/core/contact.hpp"
#include "pelk_utils/core/overlap.hpp"
#include "pelk_utils/matching/region_features.hpp"
#include "pelk_utils/core/number.hpp"
#include "pelk_utils/core/stop.hpp"

namespace pelk {
namespace {

// Each box's usual mask area: its median over the clip.
using UsualAreas = std::map<std::string, double>;

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

// Whether two masks come within `px` pixels of each other.
bool touching(const Mask& a, const Mask& b, int px) { return masks_within(a, b, px); }

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

// The position of `box` in `boxes`; boxes.size() when it is not there.
std::size_t index_of(const std::vector<std::string>& boxes, const std::string& box) {
  return static_cast<std::size_t>(std::find(boxes.begin(), boxes.end(), box) - boxes.begin());
}

// What the cues see of some animals on both sides of an episode: their
// appearance in every compared frame, where each was and where each was
// heading. Before it every animal is seen, after it the `seen` ones (all,
// unless some have not come out of a pile). Costs of any assignment come
// from it without new model calls.
struct Evidence {
  std::vector<cv::Mat1d> cosines;  // per (before, after) frame pair: seen after x before
  std::vector<cv::Point2d> p, ahead;   // per animal before
  std::vector<cv::Point2d> q, behind;  // per seen box after
  double scale = 1;                // the animals' size (square root of the mean area)
};

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

// The cues' costs of an assignment: from[j] is the animal before taken for
// the j-th seen box after.
struct Costs3 {
  double appearance = 0, position = 0, heading = 0;
  double total() const { return appearance + position + heading; }
};

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

CueCosts cue_costs(const Costs3& kept, const Costs3& exchanged, int animals) {
  CueCosts c;
  c.appearance = {kept.appearance, exchanged.appearance};
  c.position = {kept.position, exchanged.position};
  c.heading = {kept.heading, exchanged.heading};
  c.animals = animals;
  return c;
}

// Fills the decision's figures from the costs it is judged on.
void record_costs(SwapDecision& d, const CueCosts& c) {
  d.costs = c;
  d.cues = {c.appearance[1] - c.appearance[0], c.position[1] - c.position[0], c.heading[1] - c.heading[0]};
  d.keep_cost = c.appearance[0] + c.position[0] + c.heading[0];
  d.swap_cost = c.appearance[1] + c.position[1] + c.heading[1];
}

struct Cue {
  const char* name;
  std::array<double, 2> cost;
  double fit;
};

std::array<Cue, 3> cues_of(const CueCosts& c, const RepairSettings& s) {
  return {Cue{"appearance", c.appearance, s.fit_appearance}, Cue{"where each was", c.position, s.fit_position},
          Cue{"where each was heading", c.heading, s.fit_heading}};
}

std::string cue_words(const CueCosts& c, const RepairSettings& s) {
  std::string out;
  for (const Cue& cue : cues_of(c, s)) {
    const double m = cue.cost[1] - cue.cost[0];
    const char* says = m > s.cue_margin ? "kept" : m < -s.cue_margin ? "exchanged" : "no answer";
    out += (out.empty() ? "" : ", ") + std::string(cue.name) + ": " + says;
  }
  return out;
}

// Whether the frames after the episode bear an exchange out: no cue says
// kept and "exchanged" still costs less.
bool borne_out(const CueCosts& c, const RepairSettings& s) {
  for (const Cue& cue : cues_of(c, s)) {
    if (cue.cost[1] - cue.cost[0] > s.cue_margin) return false;
  }
  return c.appearance[1] + c.position[1] + c.heading[1] < c.appearance[0] + c.position[0] + c.heading[0];
}

// The later frames of the second look: up to side_frames where the `seen`
// boxes are apart from all `boxes`, from the far end of the window after
// `last_frame` inwards.
std::vector<int> later_frames(const ClipAnnotationData& clip, const std::vector<std::string>& seen,
                              const std::vector<std::string>& boxes, int last_frame, const RepairSettings& s) {
  std::vector<int> out;
  for (int key = last_frame + s.second_look_frames; key > last_frame && static_cast<int>(out.size()) < s.side_frames; --key) {
    const auto it = clip.find(key);
    if (it != clip.end() && all_apart(it->second, seen, boxes, s.apart_percent)) out.push_back(key);
  }
  std::reverse(out.begin(), out.end());
  return out;
}

// The animal before that each of `seen` is under `partner` (partner[i]: the
// animal box i is exchanged with, i itself when kept).
std::vector<int> seen_from(const std::vector<std::string>& boxes, const std::vector<std::string>& seen,
                           const std::vector<int>& partner) {
  std::vector<int> from;
  for (const std::string& box : seen) {
    from.push_back(partner[index_of(boxes, box)]);
  }
  return from;
}

std::vector<int> identity(std::size_t n) {
  std::vector<int> out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<int>(i);
  return out;
}

// The second look at an exchange (`partner`, see seen_from) decided from
// `before` and the frames after `last_frame`, on the `seen` boxes: withdrawn
// (unclear) when the window after does not bear it out.
void second_look(SwapDecision& d, const ClipAnnotationData& clip, const std::vector<std::string>& boxes,
                 const std::vector<std::string>& seen, const std::vector<int>& before, const std::vector<int>& partner,
                 int last_frame, ImagePredictor& predictor, const UsualAreas& usual, const RepairSettings& s) {
  const std::vector<int> later = later_frames(clip, seen, boxes, last_frame, s);
  if (later.empty()) return;  // the clip ends: nothing contradicts the decision
  const Evidence ev = gather(clip, boxes, seen, before, later, predictor, usual, s);
  const CueCosts c = cue_costs(costs_of(ev, seen_from(boxes, seen, identity(boxes.size()))),
                               costs_of(ev, seen_from(boxes, seen, partner)), static_cast<int>(seen.size()));
  if (borne_out(c, s)) return;
  char costs[96];
  std::snprintf(costs, sizeof(costs), "kept %.2f, exchanged %.2f",
                c.appearance[0] + c.position[0] + c.heading[0], c.appearance[1] + c.position[1] + c.heading[1]);
  d.verdict = SwapVerdict::kUnclear;
  d.reason = "unclear: the frames up to " + std::to_string(later.back()) + " do not bear out the exchange (" +
             cue_words(c, s) + "; " + costs + "); first look: " + d.reason;
}

SwapDecision decide(const ClipAnnotationData& clip, const OverlapEpisode& e, ImagePredictor& predictor,
                    const UsualAreas& usual, const RepairSettings& s) {
  SwapDecision d{e};
  const std::vector<std::string> boxes = {e.box_a, e.box_b};
  const std::vector<int> before = clear_frames(clip, boxes, e.first_frame - 1, -1, s.search_frames, s.side_frames, s.apart_percent);
  const std::vector<int> after = clear_frames(clip, boxes, e.last_frame + 1, 1, s.search_frames, s.side_frames, s.apart_percent);
  if (before.empty() || after.empty()) {
    d.reason = std::string("unclear: no frame with both animals apart ") + (before.empty() ? "before" : "after") + " the episode";
    return d;
  }
  d.before_frame = before.front();
  d.after_frame = after.front();
  d.frames_compared = static_cast<int>(before.size() + after.size());
  const Evidence ev = gather(clip, boxes, boxes, before, after, predictor, usual, s);
  record_costs(d, cue_costs(costs_of(ev, {0, 1}), costs_of(ev, {1, 0}), 2));
  const Judgement j = judge_cues(d.costs, s);
  d.verdict = j.verdict;
  d.reason = j.reason;
  if (d.verdict == SwapVerdict::kSwap) second_look(d, clip, boxes, boxes, before, {1, 0}, e.last_frame, predictor, usual, s);
  return d;
}

std::string joined(const std::vector<std::string>& boxes) {
  std::string out;
  for (const std::string& b : boxes) out += (out.empty() ? "" : ", ") + b;
  return out;
}

// Every way to exchange animals in disjoint pairs among `pairs` (indices),
// as partner vectors of `n` animals (partner[i]: whom i is exchanged with,
// i when kept); the first keeps everyone.
std::vector<std::vector<int>> pairwise_exchanges(std::size_t n, const std::vector<std::pair<int, int>>& pairs) {
  std::vector<std::vector<int>> out;
  for (std::size_t chosen = 0; chosen < (std::size_t{1} << pairs.size()); ++chosen) {
    std::vector<int> partner = identity(n);
    bool disjoint = true;
    for (std::size_t k = 0; k < pairs.size() && disjoint; ++k) {
      if (((chosen >> k) & 1) == 0) continue;
      const auto [x, y] = pairs[k];
      disjoint = partner[static_cast<std::size_t>(x)] == x && partner[static_cast<std::size_t>(y)] == y;
      partner[static_cast<std::size_t>(x)] = y, partner[static_cast<std::size_t>(y)] = x;
    }
    if (disjoint) out.push_back(std::move(partner));
  }
  return out;
}

// Decides a pile that some of its animals do not come out of within
// search_frames (they lie together to the clip's end, say). The animals that
// come out ("seen") are compared after it with every animal of the pile
// before it: an exchange of a seen animal with one it met is decided as in
// any pile, from where the last seen animal came out. Whether two animals
// that never came out exchanged cannot be told: their episodes stay unclear.
std::vector<SwapDecision> decide_open_pile(const ClipAnnotationData& clip, const std::vector<OverlapEpisode>& pile,
                                           const std::vector<std::string>& boxes, const std::vector<int>& before,
                                           const std::string& where, std::vector<SwapDecision> out,
                                           ImagePredictor& predictor, const UsualAreas& usual, const RepairSettings& s) {
  const auto all_unclear = [&](const std::string& why) {
    for (SwapDecision& d : out) d.verdict = SwapVerdict::kUnclear, d.reason = "unclear: " + where + why;
    return out;
  };
  std::map<std::string, int> left;  // the last frame of each animal's last episode in the pile
  for (const OverlapEpisode& e : pile) {
    for (const std::string& b : {e.box_a, e.box_b}) {
      const auto [it, fresh] = left.try_emplace(b, e.last_frame);
      it->second = std::max(it->second, e.last_frame);
    }
  }
  std::vector<std::string> seen, unseen;
  int out_after = std::numeric_limits<int>::min();
  for (const std::string& box : boxes) {
    const bool comes_out =
        !apart_frames(clip, {box}, boxes, left[box] + 1, 1, s.search_frames, 1, s.apart_percent).empty();
    (comes_out ? seen : unseen).push_back(box);
    if (comes_out) out_after = std::max(out_after, left[box]);
  }
  const std::vector<int> after =
      seen.empty() ? std::vector<int>{}
                   : apart_frames(clip, seen, boxes, out_after + 1, 1, s.search_frames, s.side_frames, s.apart_percent);
  if (after.empty()) return all_unclear("no frame with all its animals apart after it");
  // The exchanges that the seen animals can tell: of pairs that met, one of
  // them seen.
  std::vector<std::pair<int, int>> pairs;
  for (const OverlapEpisode& e : pile) {
    const int a = static_cast<int>(index_of(boxes, e.box_a)), b = static_cast<int>(index_of(boxes, e.box_b));
    const int x = std::min(a, b), y = std::max(a, b);
    const bool told = index_of(seen, e.box_a) < seen.size() || index_of(seen, e.box_b) < seen.size();
    if (told && std::find(pairs.begin(), pairs.end(), std::pair{x, y}) == pairs.end()) pairs.emplace_back(x, y);
  }
  const Evidence ev = gather(clip, boxes, seen, before, after, predictor, usual, s);
  const std::vector<std::vector<int>> candidates = pairwise_exchanges(boxes.size(), pairs);
  const Costs3 kept_costs = costs_of(ev, seen_from(boxes, seen, candidates.front()));
  std::vector<int> best = candidates.front();
  Costs3 best_costs;
  double best_total = HUGE_VAL, runner_up = HUGE_VAL;
  for (std::size_t k = 1; k < candidates.size(); ++k) {
    const Costs3 c = costs_of(ev, seen_from(boxes, seen, candidates[k]));
    if (c.total() < best_total) {
      runner_up = best_total, best_total = c.total(), best = candidates[k], best_costs = c;
    } else {
      runner_up = std::min(runner_up, c.total());
    }
  }
  const CueCosts c = cue_costs(kept_costs, best_costs, static_cast<int>(seen.size()));
  Judgement j = judge_cues(c, s);
  if (j.verdict == SwapVerdict::kSwap && runner_up - best_total <= s.margin) {
    j = {SwapVerdict::kUnclear, "two exchanges of the pile are too close to call (" + cue_words(c, s) + ")"};
  }
  if (j.verdict == SwapVerdict::kSwap) {
    SwapDecision look{pile.front()};
    look.verdict = SwapVerdict::kSwap;
    look.reason = j.reason;
    second_look(look, clip, boxes, seen, before, best, out_after, predictor, usual, s);
    if (look.verdict == SwapVerdict::kUnclear) j = {SwapVerdict::kUnclear, look.reason};
  }
  const std::string told_by = "told by " + joined(seen) + " after it (" + joined(unseen) + " not seen apart): ";
  const std::string reason = told_by + (j.reason.rfind("unclear: ", 0) == 0 ? j.reason.substr(9) : j.reason);
  for (SwapDecision& d : out) {
    d.before_frame = before.front();
    d.after_frame = after.front();
    d.frames_compared = static_cast<int>(before.size() + after.size());
    d.swap_after_frame = out_after;
    record_costs(d, c);
    if (index_of(seen, d.episode.box_a) == seen.size() && index_of(seen, d.episode.box_b) == seen.size()) {
      d.verdict = SwapVerdict::kUnclear;
      d.reason = "unclear: " + where + d.episode.box_a + " and " + d.episode.box_b + " are not seen apart after it";
    } else if (j.verdict != SwapVerdict::kSwap) {
      d.verdict = j.verdict;
      d.reason = (j.verdict == SwapVerdict::kUnclear ? "unclear: " : "") + where + reason;
    } else {
      d.verdict = SwapVerdict::kKeep;
      d.reason = where + "kept within it (" + cue_words(c, s) + ")";
    }
  }
  if (j.verdict == SwapVerdict::kSwap) {
    // Each exchanged pair's last episode carries the exchange.
    for (std::size_t i = 0; i < best.size(); ++i) {
      const auto k = static_cast<std::size_t>(best[i]);
      if (k <= i) continue;
      for (auto d = out.rbegin(); d != out.rend(); ++d) {
        if (std::minmax(boxes[i], boxes[k]) != std::minmax(d->episode.box_a, d->episode.box_b)) continue;
        d->verdict = SwapVerdict::kSwap;
        d->reason = where + reason;
        break;
      }
    }
  }
  return out;
}

// Where an exchange of `a` and `b`, decided for a pile in frames
// first..last, starts, and why there.
struct ExchangePoint {
  int after_frame = 0;  // the identities are exchanged after this frame
  std::string why;
};

// Whether, from frame `key` - 1 to `key`, each of `a` and `b` overlaps its
// own mask more than the other's: the masks can be followed.
bool followed(const ClipAnnotationData& clip, const std::string& a, const std::string& b, int key) {
  const auto now = clip.find(key), then = clip.find(key - 1);
  if (now == clip.end() || then == clip.end() || !both_present(now->second, a, b) || !both_present(then->second, a, b)) {
    return false;
  }
  const auto& m = now->second.masks_dict;
  const auto& p = then->second.masks_dict;
  return intersection_area(m.at(a), p.at(a)) > intersection_area(m.at(a), p.at(b)) &&
         intersection_area(m.at(b), p.at(b)) > intersection_area(m.at(b), p.at(a));
}

// The identities of two animals can change hands only where their masks
// overlap (a mask that only touches another keeps its animal): an exchange
// starts after the last frame of the pile in which they share a pixel, when
// each mask can be followed from the parting frame to the pile's end. Otherwise (they
// overlap to its end, never overlap, or a mask jumps) it starts after the
// pile, as before.
ExchangePoint exchange_point(const ClipAnnotationData& clip, const std::string& a, const std::string& b, int first,
                             int last) {
  std::optional<int> overlapped;
  for (int key = last; key >= first && !overlapped; --key) {
    const auto it = clip.find(key);
    if (it == clip.end() || !both_present(it->second, a, b)) continue;
    if (intersection_area(it->second.masks_dict.at(a), it->second.masks_dict.at(b)) > 0) overlapped = key;
  }
  const std::string end = "after the pile's end (frame " + std::to_string(last) + ")";
  if (!overlapped) return {last, end + ": their masks never overlap in it"};
  if (*overlapped == last) return {last, end + ": their masks overlap to it"};
  // From the parting frame on (the step into it is where the exchange goes).
  for (int key = *overlapped + 2; key <= last; ++key) {
    if (!followed(clip, a, b, key)) {
      return {last, end + ": their masks cannot be followed from frame " + std::to_string(key - 1) + " to " +
                        std::to_string(key)};
    }
  }
  return {*overlapped, "from frame " + std::to_string(*overlapped + 1) + ", where they parted (the last frame their "
                                                                          "masks overlapped is " +
                           std::to_string(*overlapped) + ")"};
}

// Decides the episodes of one pile together: the best assignment of the
// pile's animals from just before it to just after it, by the same cues.
std::vector<SwapDecision> decide_pile(const ClipAnnotationData& clip, const std::vector<OverlapEpisode>& pile,
                                      ImagePredictor& predictor, const UsualAreas& usual, const RepairSettings& s) {
  std::vector<std::string> boxes;
  int first = pile.front().first_frame, last = pile.front().last_frame;
  for (const OverlapEpisode& e : pile) {
    for (const std::string& b : {e.box_a, e.box_b}) {
      if (std::find(boxes.begin(), boxes.end(), b) == boxes.end()) boxes.push_back(b);
    }
    first = std::min(first, e.first_frame), last = std::max(last, e.last_frame);
  }
  std::sort(boxes.begin(), boxes.end());
  const std::string where = "decided with its pile (" + joined(boxes) + " in frames " + std::to_string(first) + ".." +
                            std::to_string(last) + "): ";
  std::vector<SwapDecision> out;
  for (const OverlapEpisode& e : pile) {
    SwapDecision d{e};
    d.pile = boxes;
    d.pile_frames = std::pair{first, last};
    d.swap_after_frame = last;
    out.push_back(std::move(d));
  }
  const auto all_unclear = [&](const std::string& why) {
    for (SwapDecision& d : out) d.verdict = SwapVerdict::kUnclear, d.reason = "unclear: " + where + why;
    return out;
  };
  if (static_cast<int>(boxes.size()) > s.max_pile_animals) {
    return all_unclear("a pile of " + std::to_string(boxes.size()) + " animals is left to a person");
  }
  const std::vector<int> before = clear_frames(clip, boxes, first - 1, -1, s.search_frames, s.side_frames, s.apart_percent);
  if (before.empty()) return all_unclear("no frame with all its animals apart before it");
  const std::vector<int> after = clear_frames(clip, boxes, last + 1, 1, s.search_frames, s.side_frames, s.apart_percent);
  if (after.empty()) return decide_open_pile(clip, pile, boxes, before, where, std::move(out), predictor, usual, s);
  const Evidence ev = gather(clip, boxes, boxes, before, after, predictor, usual, s);
  const std::vector<int> kept = identity(boxes.size());
  // Every assignment; the kept one, the best other and the runner-up.
  std::vector<int> to = kept, best;
  double best_total = HUGE_VAL, runner_up = HUGE_VAL;
  while (std::next_permutation(to.begin(), to.end())) {
    const double t = costs_of(ev, to).total();
    if (t < best_total) {
      runner_up = best_total, best_total = t, best = to;
    } else {
      runner_up = std::min(runner_up, t);
    }
  }
  const Costs3 kept_costs = costs_of(ev, kept);
  const CueCosts c = cue_costs(kept_costs, costs_of(ev, best), static_cast<int>(boxes.size()));
  Judgement j = judge_cues(c, s);
  if (j.verdict == SwapVerdict::kSwap && runner_up - best_total <= s.margin) {
    j = {SwapVerdict::kUnclear, "two exchanges of the pile are too close to call (" + cue_words(c, s) + ")"};
  }
  // An exchange must be of pairs that met: each moved animal trades places
  // with one other, and the two had an episode in the pile.
  std::vector<std::pair<std::string, std::string>> exchanges;
  if (j.verdict == SwapVerdict::kSwap) {
    for (std::size_t i = 0; i < best.size(); ++i) {
      const auto k = static_cast<std::size_t>(best[i]);
      if (k == i) continue;
      if (static_cast<std::size_t>(best[k]) != i) {
        j = {SwapVerdict::kUnclear, "its best assignment moves identities round a cycle, not between two animals"};
        break;
      }
      if (i < k) exchanges.emplace_back(boxes[i], boxes[k]);
    }
  }
  for (SwapDecision& d : out) {
    d.before_frame = before.front();
    d.after_frame = after.front();
    d.frames_compared = static_cast<int>(before.size() + after.size());
    record_costs(d, c);
  }
  if (j.verdict != SwapVerdict::kSwap) {
    for (SwapDecision& d : out) {
      d.verdict = j.verdict;
      d.reason = (j.verdict == SwapVerdict::kUnclear ? "unclear: " : "") + where +
                 (j.reason.rfind("unclear: ", 0) == 0 ? j.reason.substr(9) : j.reason);
    }
    return out;
  }
  // Each exchanged pair's last episode carries the exchange; the others are kept.
  SwapDecision look{pile.front()};
  look.reason = j.reason;
  look.verdict = SwapVerdict::kSwap;
  second_look(look, clip, boxes, boxes, before, best, last, predictor, usual, s);
  for (SwapDecision& d : out) {
    d.verdict = SwapVerdict::kKeep;
    d.reason = where + "kept within it (" + cue_words(c, s) + ")";
  }
  for (const auto& [x, y] : exchanges) {
    bool met = false;
    const ExchangePoint point = exchange_point(clip, x, y, first, last);
    for (auto d = out.rbegin(); d != out.rend() && !met; ++d) {
      if (std::minmax(x, y) != std::minmax(d->episode.box_a, d->episode.box_b)) continue;
      met = true;
      d->verdict = look.verdict;
      d->reason = (look.verdict == SwapVerdict::kUnclear ? "unclear: " + where + look.reason.substr(9)
                                                         : where + j.reason + "; exchanged " + point.why);
      d->swap_after_frame = point.after_frame;
    }
    if (!met) return all_unclear("its best assignment exchanges " + x + " and " + y + ", which did not meet");
  }
  if (look.verdict == SwapVerdict::kUnclear) {
    for (SwapDecision& d : out) d.verdict = SwapVerdict::kUnclear, d.reason = "unclear: " + where + look.reason.substr(9);
  }
  return out;
}

// Runs of consecutive keys of one pair, as episodes of `kind`.
void add_runs(const std::pair<std::string, std::string>& pair, const std::vector<int>& keys, int min_frames,
              EpisodeKind kind, EpisodeKind shorter, std::vector<OverlapEpisode>& out) {
  std::size_t start = 0;
  for (std::size_t i = 1; i <= keys.size(); ++i) {
    if (i < keys.size() && keys[i] == keys[i - 1] + 1) continue;
    const bool long_enough = static_cast<int>(i - start) >= min_frames;
    out.push_back({pair.first, pair.second, keys[start], keys[i - 1], long_enough ? kind : shorter});
    start = i;
  }
}

}  // namespace

Judgement judge_cues(const CueCosts& c, const RepairSettings& s) {
  bool kept = false, vote_fits = false, decisive = false;
  int votes = 0;
  for (const Cue& cue : cues_of(c, s)) {
    const double m = cue.cost[1] - cue.cost[0];
    kept = kept || m > s.cue_margin;
    if (m >= -s.cue_margin) continue;
    ++votes;
    const bool fits = cue.cost[1] <= cue.fit * c.animals;
    vote_fits = vote_fits || fits;
    decisive = decisive || (fits && -m >= s.decisive_share * cue.cost[0]);
  }
  const double keep = c.appearance[0] + c.position[0] + c.heading[0];
  const double swap = c.appearance[1] + c.position[1] + c.heading[1];
  char costs[64];
  const auto shown = [](double v) { return std::abs(v) < 0.005 ? 0.0 : v; };  // never "-0.00"
  std::snprintf(costs, sizeof(costs), "; kept %.2f, exchanged %.2f", shown(keep), shown(swap));
  const std::string words = " (" + cue_words(c, s) + costs + ")";
  if (kept && votes > 0) return {SwapVerdict::kUnclear, "unclear: the cues disagree" + words};
  if (votes > 0 && swap - keep < -s.margin) {
    if (!vote_fits) return {SwapVerdict::kUnclear, "unclear: neither assignment fits" + words};
    if (votes < 2 && !decisive) {
      return {SwapVerdict::kUnclear, "unclear: one cue alone, by a narrow share of its own cost" + words};
    }
    return {SwapVerdict::kSwap, "the identities were exchanged" + words};
  }
  if (kept && swap - keep > s.margin) return {SwapVerdict::kKeep, "the identities were kept" + words};
  return {SwapVerdict::kUnclear, "unclear: too close to call, the two assignments differ by less than the margin" + words};
}

std::vector<std::vector<std::size_t>> pile_groups(const std::vector<OverlapEpisode>& episodes, int pile_frames) {
  std::vector<std::size_t> root(episodes.size());
  for (std::size_t i = 0; i < root.size(); ++i) root[i] = i;
  const auto find = [&](std::size_t i) {
    while (root[i] != i) i = root[i] = root[root[i]];
    return i;
  };
  for (std::size_t i = 0; i < episodes.size(); ++i) {
    for (std::size_t j = i + 1; j < episodes.size(); ++j) {
      const OverlapEpisode &a = episodes[i], &b = episodes[j];
      const bool share = a.box_a == b.box_a || a.box_a == b.box_b || a.box_b == b.box_a || a.box_b == b.box_b;
      const bool close = a.first_frame <= b.last_frame + pile_frames && b.first_frame <= a.last_frame + pile_frames;
      if (share && close) root[find(j)] = find(i);
    }
  }
  std::map<std::size_t, std::vector<std::size_t>> groups;
  for (std::size_t i = 0; i < episodes.size(); ++i) groups[find(i)].push_back(i);
  std::vector<std::vector<std::size_t>> out;
  for (auto& [first, members] : groups) out.push_back(std::move(members));
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.front() < b.front(); });
  return out;
}

void check_repair_settings(const RepairSettings& s) {
  const auto refuse = [](const std::string& name, const std::string& rule, const std::string& value) {
    throw std::invalid_argument("repair setting " + name + " must be " + rule + ", got " + value);
  };
  for (const auto& [name, value] : {std::pair{"margin", s.margin}, std::pair{"cue_margin", s.cue_margin}}) {
    if (!(std::isfinite(value) && value >= 0)) refuse(name, "a finite number of 0 or more", format_number(value));
  }
  for (const auto& [name, value] : {std::pair{"intersection_thrr", s.intersection_thrr},
                                    std::pair{"apart_percent", s.apart_percent}}) {
    if (!(value >= 0 && value <= 100)) refuse(name, "a percentage from 0 to 100", format_number(value));
  }
  if (s.min_frames < 1) refuse("min_frames", "1 or more", std::to_string(s.min_frames));
  if (s.search_frames < 1) refuse("search_frames", "1 or more", std::to_string(s.search_frames));
  if (s.motion_frames < 0) refuse("motion_frames", "0 or more", std::to_string(s.motion_frames));
  if (s.side_frames < 1) refuse("side_frames", "1 or more", std::to_string(s.side_frames));
  if (s.contact_px < 0) refuse("contact_px", "0 or more", std::to_string(s.contact_px));
  if (!(s.decisive_share >= 0 && s.decisive_share <= 1)) {
    refuse("decisive_share", "a share from 0 to 1", format_number(s.decisive_share));
  }
  for (const auto& [name, value] : {std::pair{"fit_appearance", s.fit_appearance}, std::pair{"fit_position", s.fit_position},
                                    std::pair{"fit_heading", s.fit_heading}}) {
    if (!(std::isfinite(value) && value >= 0)) refuse(name, "a finite number of 0 or more", format_number(value));
  }
  if (s.pile_frames < 0) refuse("pile_frames", "0 or more", std::to_string(s.pile_frames));
  if (s.max_pile_animals < 2) refuse("max_pile_animals", "2 or more", std::to_string(s.max_pile_animals));
  if (!(s.whole_share > 0 && s.whole_share <= 1)) refuse("whole_share", "a share above 0 and at most 1", format_number(s.whole_share));
  if (!(s.turn_degrees >= 0 && s.turn_degrees <= 90)) refuse("turn_degrees", "an angle from 0 to 90", format_number(s.turn_degrees));
  if (s.second_look_frames < 0) refuse("second_look_frames", "0 or more", std::to_string(s.second_look_frames));
}

const char* episode_kind_name(EpisodeKind kind) {
  switch (kind) {
    case EpisodeKind::kOverlap: return "overlap";
    case EpisodeKind::kShortOverlap: return "short overlap";
    case EpisodeKind::kContact: return "contact";
  }
  return "?";
}

std::vector<OverlapEpisode> find_overlap_episodes(const ClipAnnotationData& clip, const RepairSettings& settings) {
  check_repair_settings(settings);
  using Pair = std::pair<std::string, std::string>;
  std::map<Pair, std::vector<int>> covering, near;  // per pair: frames of covering, of touching or covering
  for (const auto& [key, record] : clip) {
    throw_if_stop_requested();
    const std::vector<std::string> keys = record.masks_dict.keys();
    for (std::size_t i = 0; i < keys.size(); ++i) {
      for (std::size_t j = i + 1; j < keys.size(); ++j) {
        if (!both_present(record, keys[i], keys[j])) continue;
        const Pair pair = std::minmax(keys[i], keys[j]);
        if (overlap_percent(record, keys[i], keys[j]) > settings.intersection_thrr) {
          covering[pair].push_back(key);
          near[pair].push_back(key);
        } else if (settings.short_contacts &&
                   touching(record.masks_dict.at(keys[i]), record.masks_dict.at(keys[j]), settings.contact_px)) {
          near[pair].push_back(key);
        }
      }
    }
  }
  std::vector<OverlapEpisode> out;
  for (const auto& [pair, keys] : covering) add_runs(pair, keys, settings.min_frames, EpisodeKind::kOverlap, EpisodeKind::kShortOverlap, out);
  if (!settings.short_contacts) {
    std::erase_if(out, [](const OverlapEpisode& e) { return e.kind != EpisodeKind::kOverlap; });
  } else {
    // Touching runs with no covering frame in them are contacts.
    for (const auto& [pair, keys] : near) {
      std::vector<OverlapEpisode> runs;
      add_runs(pair, keys, 1, EpisodeKind::kContact, EpisodeKind::kContact, runs);
      const auto& cover = covering[pair];
      for (const OverlapEpisode& r : runs) {
        const auto it = std::lower_bound(cover.begin(), cover.end(), r.first_frame);
        if (it == cover.end() || *it > r.last_frame) out.push_back(r);
      }
    }
  }
  std::stable_sort(out.begin(), out.end(), [](const auto& a, const auto& b) {
    return std::tie(a.first_frame, a.last_frame, a.box_a, a.box_b) < std::tie(b.first_frame, b.last_frame, b.box_a, b.box_b);
  });
  return out;
}

std::vector<SwapDecision> decide_identity_swaps(const ClipAnnotationData& clip, ImagePredictor& image_predictor,
                                                const RepairSettings& settings) {
  check_repair_settings(settings);
  ClipAnnotationData working = clip;  // masks are shared, not copied
  const UsualAreas usual = usual_areas(clip);
  std::vector<SwapDecision> out;
  using Key = std::tuple<int, int, std::string, std::string>;
  std::set<Key> decided;
  const auto key_of = [](const OverlapEpisode& e) { return Key{e.first_frame, e.last_frame, e.box_a, e.box_b}; };
  // After a swap the keys after that episode change, and with them the
  // later episodes: they are found again on the corrected clip.
  for (int from = std::numeric_limits<int>::min();;) {
    const std::vector<OverlapEpisode> episodes = find_overlap_episodes(working, settings);
    std::optional<std::size_t> next;
    for (std::size_t i = 0; i < episodes.size() && !next; ++i) {
      if (episodes[i].first_frame >= from && !decided.count(key_of(episodes[i]))) next = i;
    }
    if (!next) break;
    throw_if_stop_requested();  // between episodes: nothing has been written yet
    std::vector<OverlapEpisode> pile;
    for (const auto& group : pile_groups(episodes, settings.pile_frames)) {
      if (std::find(group.begin(), group.end(), *next) == group.end()) continue;
      for (const std::size_t i : group) {
        if (!decided.count(key_of(episodes[i]))) pile.push_back(episodes[i]);
      }
    }
    for (const OverlapEpisode& e : pile) decided.insert(key_of(e));
    from = episodes[*next].first_frame;
    std::vector<SwapDecision> ds;
    if (pile.size() > 1) {
      ds = decide_pile(working, pile, image_predictor, usual, settings);
    } else {
      ds.push_back(decide(working, pile.front(), image_predictor, usual, settings));
    }
    bool within = false;  // an exchange inside the pile's frames renames some of its episodes
    int pile_first = pile.front().first_frame, pile_last = pile.front().last_frame;
    std::set<std::string> pile_boxes;
    for (const OverlapEpisode& e : pile) {
      pile_first = std::min(pile_first, e.first_frame), pile_last = std::max(pile_last, e.last_frame);
      pile_boxes.insert({e.box_a, e.box_b});
    }
    for (SwapDecision& d : ds) {
      if (d.verdict == SwapVerdict::kSwap) {
        const int after = d.swap_after_frame.value_or(d.episode.last_frame);
        swap_boxes(working, d.episode.box_a, d.episode.box_b, after);
        within = within || after < pile_last;
      }
      out.push_back(std::move(d));
    }
    if (within) {
      // The pile's episodes under their new names were decided with it.
      for (const OverlapEpisode& e : find_overlap_episodes(working, settings)) {
        if (e.first_frame <= pile_last && e.last_frame >= pile_first && pile_boxes.contains(e.box_a) &&
            pile_boxes.contains(e.box_b)) {
          decided.insert(key_of(e));
        }
      }
    }
  }
  return out;
}

std::vector<IdentitySwap> swaps_of(const std::vector<SwapDecision>& decisions) {
  std::vector<IdentitySwap> out;
  for (const SwapDecision& d : decisions) {
    if (d.verdict != SwapVerdict::kSwap) continue;
    out.push_back({d.swap_after_frame.value_or(d.episode.last_frame), object_id_of_key(d.episode.box_a),
                   object_id_of_key(d.episode.box_b)});
  }
  return out;
}

}  // namespace pelk
