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

// Returns up to `count` frame keys from `from` in steps of `step` where both
// boxes are present and apart, within `limit` steps, nearest first.
std::vector<int> clear_frames(const ClipAnnotationData& clip, const OverlapEpisode& e, int from, int step, int limit,
                              int count, double thrr) {
  std::vector<int> out;
  for (int k = 0, key = from; k < limit && static_cast<int>(out.size()) < count; ++k, key += step) {
    const auto it = clip.find(key);
    if (it == clip.end()) break;
    if (both_present(it->second, e.box_a, e.box_b) && overlap_percent(it->second, e.box_a, e.box_b) <= thrr) {
      out.push_back(key);
    }
  }
  return out;
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

// The cost of each assignment under one cue: [0] kept, [1] exchanged.
using Costs = std::array<double, 2>;

// Appearance: 1 - cosine of each box after with the animal it is taken for,
// averaged over every pair of compared frames.
Costs appearance_costs(const ClipAnnotationData& clip, const OverlapEpisode& e, const std::vector<int>& before,
                       const std::vector<int>& after, ImagePredictor& predictor) {
  using Features = std::vector<std::optional<torch::Tensor>>;
  const auto features = [&](int key) {
    const FrameRecord& r = clip.at(key);
    const cv::Mat image = cv::imread(r.image_path, cv::IMREAD_COLOR);
    if (image.empty()) throw std::runtime_error("cannot read frame image '" + r.image_path + "'");
    return generate_sam2_image_features(image, {r.masks_dict.at(e.box_a), r.masks_dict.at(e.box_b)}, predictor);
  };
  std::vector<Features> fb, fa;
  for (int k : before) fb.push_back(features(k));
  for (int k : after) fa.push_back(features(k));
  Costs costs{0, 0};
  int pairs = 0;
  for (const Features& b : fb) {
    for (const Features& a : fa) {
      const cv::Mat1d s = cosine_scores_cal(a, b);  // after x before
      if (!std::isfinite(s(0, 0)) || !std::isfinite(s(1, 1)) || !std::isfinite(s(0, 1)) || !std::isfinite(s(1, 0))) continue;
      costs[0] += (1 - s(0, 0)) + (1 - s(1, 1));
      costs[1] += (1 - s(0, 1)) + (1 - s(1, 0));
      ++pairs;
    }
  }
  if (pairs == 0) return {0, 0};
  return {costs[0] / pairs, costs[1] / pairs};
}

// Positions: where each box is after against where each animal was before
// (`position`), and against where each was heading, forward from before and
// backward from after over at most `motion_frames` frames (`heading`). In
// units of the animals' size.
std::pair<Costs, Costs> position_costs(const ClipAnnotationData& clip, const OverlapEpisode& e, int before, int after,
                                       int motion_frames) {
  const std::string boxes[2] = {e.box_a, e.box_b};
  const FrameRecord& rb = clip.at(before);
  const FrameRecord& ra = clip.at(after);
  const double reach = std::min(after - before, motion_frames);
  cv::Point2d p[2], q[2], ahead[2], behind[2];
  double area = 0;
  for (int i = 0; i < 2; ++i) {
    const Mask& mb = rb.masks_dict.at(boxes[i]);
    const Mask& ma = ra.masks_dict.at(boxes[i]);
    p[i] = centroid(mb);
    q[i] = centroid(ma);
    ahead[i] = p[i] + velocity(clip, boxes[i], before, -1, motion_frames) * reach;
    behind[i] = q[i] - velocity(clip, boxes[i], after, 1, motion_frames) * reach;
    area += static_cast<double>(mb.area() + ma.area()) / 4;
  }
  const double scale = std::max(std::sqrt(area), 1.0);
  Costs position{0, 0}, heading{0, 0};
  for (int swap = 0; swap < 2; ++swap) {
    for (int x = 0; x < 2; ++x) {
      const int now = swap ? 1 - x : x;  // the box after taken for animal x
      position[swap] += cv::norm(q[now] - p[x]) / scale;
      heading[swap] += (cv::norm(q[now] - ahead[x]) + cv::norm(behind[now] - p[x])) / (2 * scale);
    }
  }
  return {position, heading};
}

std::string cue_words(const CueMargins& c, double cue_margin) {
  std::string out;
  const std::pair<const char*, double> cues[] = {
      {"appearance", c.appearance}, {"where each was", c.position}, {"where each was heading", c.heading}};
  for (const auto& [name, m] : cues) {
    const char* says = m > cue_margin ? "kept" : m < -cue_margin ? "exchanged" : "no answer";
    out += (out.empty() ? "" : ", ") + std::string(name) + ": " + says;
  }
  return out;
}

// The verdict on the cues' margins: exchanged only when some cue says so,
// none says kept and together they clear the margin.
void judge(SwapDecision& d, const RepairSettings& s) {
  const double m[3] = {d.cues.appearance, d.cues.position, d.cues.heading};
  bool kept = false, exchanged = false;
  for (const double v : m) {
    kept = kept || v > s.cue_margin;
    exchanged = exchanged || v < -s.cue_margin;
  }
  const double total = d.swap_cost - d.keep_cost;
  char costs[64];
  const auto shown = [](double v) { return std::abs(v) < 0.005 ? 0.0 : v; };  // never "-0.00"
  std::snprintf(costs, sizeof(costs), "; kept %.2f, exchanged %.2f", shown(d.keep_cost), shown(d.swap_cost));
  const std::string words = " (" + cue_words(d.cues, s.cue_margin) + costs + ")";
  if (kept && exchanged) {
    d.reason = "unclear: the cues disagree" + words;
  } else if (exchanged && total < -s.margin) {
    d.verdict = SwapVerdict::kSwap;
    d.reason = "the identities were exchanged" + words;
  } else if (kept && total > s.margin) {
    d.verdict = SwapVerdict::kKeep;
    d.reason = "the identities were kept" + words;
  } else {
    d.reason = "unclear: too close to call, the two assignments differ by less than the margin" + words;
  }
}

SwapDecision decide(const ClipAnnotationData& clip, const OverlapEpisode& e, ImagePredictor& predictor,
                    const RepairSettings& s) {
  SwapDecision d{e};
  const std::vector<int> before = clear_frames(clip, e, e.first_frame - 1, -1, s.search_frames, s.side_frames, s.apart_percent);
  const std::vector<int> after = clear_frames(clip, e, e.last_frame + 1, 1, s.search_frames, s.side_frames, s.apart_percent);
  if (before.empty() || after.empty()) {
    d.reason = std::string("unclear: no frame with both animals apart ") + (before.empty() ? "before" : "after") + " the episode";
    return d;
  }
  d.before_frame = before.front();
  d.after_frame = after.front();
  d.frames_compared = static_cast<int>(before.size() + after.size());
  const Costs appearance = appearance_costs(clip, e, before, after, predictor);
  const auto [position, heading] = position_costs(clip, e, before.front(), after.front(), s.motion_frames);
  d.cues = {appearance[1] - appearance[0], position[1] - position[0], heading[1] - heading[0]};
  d.keep_cost = appearance[0] + position[0] + heading[0];
  d.swap_cost = appearance[1] + position[1] + heading[1];
  judge(d, s);
  return d;
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
    throw_if_stop_requested();  // between episodes: nothing has been written yet
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
