#include "pelk_utils/matching/day_chain.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <set>
#include <stdexcept>

#include <opencv2/imgcodecs.hpp>

#include "pelk_utils/annotation/annotation_file.hpp"
#include "pelk_utils/annotation/clip_loader.hpp"
#include "pelk_utils/annotation/file_changes.hpp"
#include "pelk_utils/core/heap_release.hpp"
#include "pelk_utils/core/json_file.hpp"
#include "pelk_utils/core/number.hpp"
#include "pelk_utils/core/stop.hpp"
#include "pelk_utils/matching/internal/repair_decision.hpp"
#include "pelk_utils/matching/internal/repair_evidence.hpp"
#include "pelk_utils/matching/region_features.hpp"
#include "pelk_utils/quality/tracking_measures.hpp"
#include "pelk_utils/tracks/frame_time.hpp"

namespace pelk {
namespace fs = std::filesystem;
namespace {

using Id = std::int64_t;

std::string day_key(Id id) { return box_key(id - 1); }

// The object ids of a clip: per id, the frame keys it is in (in any file).
std::map<Id, std::vector<int>> presence_of(const ClipAnnotationData& clip) {
  std::map<Id, std::vector<int>> out;
  for (const auto& [key, record] : clip) {
    for (const auto& [box, mask] : record.masks_dict) out[object_id_of_key(box)].push_back(key);
  }
  return out;
}

bool share_a_frame(const std::vector<int>& a, const std::vector<int>& b) {
  for (std::size_t i = 0, j = 0; i < a.size() && j < b.size();) {
    if (a[i] == b[j]) return true;
    a[i] < b[j] ? ++i : ++j;
  }
  return false;
}

// `clip` under day keys as `relabel` gives them.
ClipAnnotationData relabelled(const ClipAnnotationData& clip, const ClipRelabel& relabel) {
  ClipAnnotationData out;
  for (const auto& [key, record] : clip) {
    FrameRecord r;
    r.frame_index = record.frame_index;
    r.json_path = record.json_path;
    r.image_path = record.image_path;
    for (const auto& [box, mask] : record.masks_dict) {
      r.masks_dict.insert_or_assign(day_key(relabel.day_id(object_id_of_key(box), key)), mask);
    }
    r.mask_areas = mask_areas(r.masks_dict);
    out.emplace(key, std::move(r));
  }
  return out;
}

// The last `count` frames of `clip` (or its first, with `from_start`).
ClipAnnotationData window_of(const ClipAnnotationData& clip, int count, bool from_start) {
  ClipAnnotationData out;
  if (from_start) {
    for (auto it = clip.begin(); it != clip.end() && static_cast<int>(out.size()) < count; ++it) out.insert(*it);
  } else {
    for (auto it = clip.rbegin(); it != clip.rend() && static_cast<int>(out.size()) < count; ++it) out.insert(*it);
  }
  return out;
}

// Up to `count` recent whole views of each day animal: the image and mask.
struct View {
  std::string image_path;
  Mask mask;
};
// An animal's last views in a clip, and views from the clip's start under
// the same identity: when the two do not look alike, the track changed
// animals inside the clip (a tracker's exchange) and its looks say nothing.
struct Looks {
  std::vector<View> last, early;
};

// Per box of `clip`, up to `count` frames (from the end, or from the start)
// in which its mask is whole: near its usual area and apart from the others.
std::map<std::string, std::vector<int>> whole_views(const ClipAnnotationData& clip, int count, bool from_start,
                                                     const RepairSettings& s) {
  const internal::UsualAreas usual = internal::usual_areas(clip);
  std::map<std::string, std::vector<int>> out;
  const auto visit = [&](int key, const FrameRecord& r) {
    const std::vector<std::string> boxes = r.masks_dict.keys();
    for (const std::string& box : boxes) {
      auto& frames = out[box];
      if (static_cast<int>(frames.size()) >= count || !internal::present(r, box)) continue;
      const double area = static_cast<double>(r.masks_dict.at(box).area()), u = usual.at(box);
      if (area < s.whole_share * u || s.whole_share * area > u) continue;
      if (!internal::all_apart(r, {box}, boxes, s.apart_percent)) continue;
      frames.push_back(key);
    }
  };
  if (from_start) {
    for (const auto& [key, r] : clip) visit(key, r);
  } else {
    for (auto it = clip.rbegin(); it != clip.rend(); ++it) visit(it->first, it->second);
  }
  return out;
}

// The appearance of some views (upright: animals turn between recordings).
std::vector<std::optional<torch::Tensor>> features_of(const std::vector<View>& views, ImagePredictor& predictor) {
  std::map<std::string, std::vector<std::size_t>> by_image;
  for (std::size_t i = 0; i < views.size(); ++i) by_image[views[i].image_path].push_back(i);
  std::vector<std::optional<torch::Tensor>> out(views.size());
  for (const auto& [path, which] : by_image) {
    const cv::Mat image = cv::imread(path, cv::IMREAD_COLOR);
    if (image.empty()) throw std::runtime_error("cannot read frame image '" + path + "'");
    std::vector<Mask> masks;
    for (const std::size_t i : which) masks.push_back(views[i].mask);
    auto f = generate_upright_region_features(image, masks, predictor);
    for (std::size_t n = 0; n < which.size(); ++n) out[which[n]] = std::move(f[n]);
  }
  return out;
}

// 1 - the mean cosine of two sets of views' features (2 when none compares).
double mean_cost(const std::vector<std::optional<torch::Tensor>>& a, const std::vector<std::optional<torch::Tensor>>& b) {
  if (a.empty() || b.empty()) return 2;
  const cv::Mat1d cos = cosine_scores_cal(a, b);
  double sum = 0;
  int n = 0;
  for (const double v : cos) {
    if (std::isfinite(v)) sum += v, ++n;
  }
  return n > 0 ? 1 - sum / n : 2;
}

std::string id_words(Id id) { return day_key(id) + " (object id " + std::to_string(id) + ")"; }

std::string fixed(double v, int digits = 2) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.*f", digits, v);
  return text;
}

// How two consecutive clips meet in time, when their frames say.
struct Meeting {
  std::optional<BoundaryKind> kind;  // none: the masks decide
  std::string reason;
};

Meeting meeting_of(const std::string& earlier, const FrameRecord& last, const std::string& later, const FrameRecord& first,
                   const ChainSettings& s) {
  const auto a = extracted_frame_of(last.image_path), b = extracted_frame_of(first.image_path);
  if (!a || !b) return {std::nullopt, "times unknown (frames outside a `pelk extract` tree)"};
  const auto place = [](const ExtractedFrame& f) { return std::pair{f.start_seconds, recording_frame_of(f, 1000.0)}; };
  if (place(*b) <= place(*a)) {
    throw std::invalid_argument("clip '" + later + "' starts before the end of the previous clip '" + earlier +
                                "' in the recordings: give the clips in the order they were recorded");
  }
  if (a->video_name != b->video_name) return {BoundaryKind::kGap, "a gap: another recording (" + b->video_name + ")"};
  const auto own = s.recording_rates.find(a->video_name);
  const std::optional<double> rate = own != s.recording_rates.end() ? std::optional(own->second) : s.fps;
  if (!rate) return {std::nullopt, "times unknown (no frame rate for " + a->video_name + "; give --fps or --videos)"};
  const Id na = recording_frame_of(*a, *rate), nb = recording_frame_of(*b, *rate);
  const std::string frames = "frames " + std::to_string(na) + " and " + std::to_string(nb) + " of " + a->video_name;
  if (nb - na - 1 <= s.continuous_frames) return {BoundaryKind::kContinuous, "continuous (" + frames + ")"};
  return {BoundaryKind::kGap, "a gap of " + format_number(static_cast<double>(nb - na) / *rate) + " s (" + frames + ")"};
}

// The IoU pairing of the masks of two frames: result[i] is the index in
// `to` of from[i]'s partner, or -1.
std::vector<int> pair_by_overlap(const std::vector<const Mask*>& from, const std::vector<const Mask*>& to, double minimum,
                                 std::vector<double>* ious = nullptr) {
  std::vector<std::vector<double>> score(from.size(), std::vector<double>(to.size()));
  for (std::size_t i = 0; i < from.size(); ++i) {
    for (std::size_t j = 0; j < to.size(); ++j) score[i][j] = mask_iou(*from[i], *to[j]);
  }
  const std::vector<int> out = best_assignment(score, minimum);
  if (ious) {
    ious->assign(from.size(), 0);
    for (std::size_t i = 0; i < from.size(); ++i) {
      if (out[i] >= 0) (*ious)[i] = score[i][static_cast<std::size_t>(out[i])];
    }
  }
  return out;
}

// The day chain's state as it walks the clips.
class Chainer {
 public:
  Chainer(ImagePredictor& predictor, const ChainSettings& s) : predictor_(predictor), s_(s) {}

  // The first clip: its identities are the day's.
  void start(const ClipAnnotationData& clip, DayChain& out) {
    ClipRelabel r;
    for (const auto& [id, keys] : presence_of(clip)) {
      r.to[id] = id;
      pen_ids_.insert(id);
    }
    out.relabels.push_back(r);
    remember(relabelled(clip, r));
  }

  // The next clip: decides its boundary with the previous one.
  void next(std::size_t index, const std::vector<std::string>& clips, const ClipAnnotationData& clip, DayChain& out) {
    ChainBoundary b;
    b.clip = index;
    presence_ = presence_of(clip);
    assigned_.clear();
    how_.clear();
    unclear_.clear();
    b_notes_.clear();
    ClipRelabel relabel;
    const Meeting m = meeting_of(clips[index - 1], tail_.rbegin()->second, clips[index], clip.begin()->second, s_);
    b.kind_reason = m.reason;
    if (m.kind) {
      b.kind = *m.kind;
    } else {
      b.kind = follows_on(clip) ? BoundaryKind::kContinuous : BoundaryKind::kGap;
      b.kind_reason += b.kind == BoundaryKind::kContinuous ? ": taken as continuous, the masks at the boundary follow on"
                                                           : ": taken as a gap, the masks at the boundary do not follow on";
    }
    if (b.kind == BoundaryKind::kContinuous) {
      carry_across(clip, relabel, out, b);
    } else {
      pair_by_appearance(clip);
      eliminate();
    }
    for (const auto& [obj, id] : assigned_) relabel.to[obj] = id;
    for (const auto& [obj, keys] : presence_) {
      Carry c;
      c.object_id = obj;
      c.day_id = assigned_.at(obj);
      c.how = how_.at(obj).first;
      c.reason = how_.at(obj).second;
      c.first_frame = keys.front();
      b.carries.push_back(std::move(c));
    }
    std::stable_sort(b.carries.begin(), b.carries.end(), [](const Carry& x, const Carry& y) { return x.first_frame < y.first_frame; });
    std::set<Id> carried;
    for (const Carry& c : b.carries) carried.insert(c.day_id);
    for (const Id id : pen_ids_) {
      if (!carried.contains(id)) b.pending.push_back(day_key(id));
    }
    b.notes.insert(b.notes.end(), b_notes_.begin(), b_notes_.end());
    out.relabels.push_back(relabel);
    remember(relabelled(clip, relabel));
    out.boundaries.push_back(std::move(b));
  }

  std::vector<Id> day_ids() const {
    std::set<Id> all = pen_ids_;
    all.insert(extra_ids_.begin(), extra_ids_.end());
    return {all.begin(), all.end()};
  }

 private:
  // Keeps what the next boundary needs of a clip under day keys: its end,
  // and the recent whole views of each animal in it.
  void remember(const ClipAnnotationData& clip) {
    tail_ = window_of(clip, s_.window_frames, false);
    const auto early = whole_views(clip, s_.repair.side_frames, true, s_.repair);
    for (const auto& [box, frames] : whole_views(clip, s_.repair.side_frames, false, s_.repair)) {
      if (frames.empty()) continue;
      const auto number = box_number_of_key(box);
      if (!number) continue;
      Looks& looks = looks_[*number + 1];
      looks = {};
      for (const int key : frames) looks.last.push_back({clip.at(key).image_path, clip.at(key).masks_dict.at(box)});
      const auto first = early.find(box);
      if (first == early.end()) continue;
      for (const int key : first->second) looks.early.push_back({clip.at(key).image_path, clip.at(key).masks_dict.at(box)});
    }
  }

  // Whether the masks on both sides of the boundary pair by overlap: at
  // least half of the animals of the side showing fewer.
  bool follows_on(const ClipAnnotationData& clip) const {
    std::vector<const Mask*> a, b;
    for (const auto& [box, mask] : tail_.rbegin()->second.masks_dict) {
      if (!mask.empty()) a.push_back(&mask);
    }
    for (const auto& [box, mask] : clip.begin()->second.masks_dict) {
      if (!mask.empty()) b.push_back(&mask);
    }
    const std::vector<int> pairs = pair_by_overlap(a, b, s_.seam_iou);
    const auto paired = std::count_if(pairs.begin(), pairs.end(), [](int j) { return j >= 0; });
    return !a.empty() && !b.empty() && 2 * static_cast<std::size_t>(paired) >= std::min(a.size(), b.size());
  }

  void assign(Id obj, Id id, CarryKind how, std::string reason) {
    assigned_[obj] = id;
    how_[obj] = {how, std::move(reason)};
  }

  // A continuous boundary: pairs by overlap and gives the tracks left over
  // their identities by elimination; then decides the piles of episodes
  // near the boundary on the joined frames as the repair does.
  void carry_across(const ClipAnnotationData& clip, ClipRelabel& relabel, DayChain& out, ChainBoundary& b) {
    const ClipAnnotationData head = window_of(clip, s_.window_frames, true);
    const FrameRecord& last = tail_.rbegin()->second;
    const FrameRecord& first = head.begin()->second;
    std::vector<const Mask*> from, to;
    std::vector<Id> head_ids;
    std::vector<std::string> tail_keys;
    for (const auto& [box, mask] : first.masks_dict) {
      if (!mask.empty()) from.push_back(&mask), head_ids.push_back(object_id_of_key(box));
    }
    for (const auto& [box, mask] : last.masks_dict) {
      if (!mask.empty()) to.push_back(&mask), tail_keys.push_back(box);
    }
    std::vector<double> ious;
    const std::vector<int> pairs = pair_by_overlap(from, to, s_.seam_iou, &ious);
    for (std::size_t i = 0; i < from.size(); ++i) {
      if (pairs[i] < 0) continue;
      const std::string& key = tail_keys[static_cast<std::size_t>(pairs[i])];
      assign(head_ids[i], object_id_of_key(key), CarryKind::kCarried,
             "overlaps " + key + "'s last mask (IoU " + fixed(ious[i]) + ")");
    }
    eliminate();
    // The joined frames: the earlier clip's end, then the later clip's start
    // under the identities given so far.
    const int tail_first = tail_.begin()->first, seam = static_cast<int>(tail_.size());
    ClipAnnotationData joined;
    for (const auto& [key, record] : tail_) joined.emplace(key - tail_first, record);
    for (const auto& [key, record] : head) {
      FrameRecord r = record;
      r.masks_dict = MaskDict();
      for (const auto& [box, mask] : record.masks_dict) r.masks_dict.insert_or_assign(day_key(assigned_.at(object_id_of_key(box))), mask);
      r.mask_areas = mask_areas(r.masks_dict);
      joined.emplace(seam + key - head.begin()->first, std::move(r));
    }
    decide_near_seam(joined, seam, tail_first, relabel, out, b);
  }

  // The head's track carrying day key `key`, if any.
  std::optional<Id> track_with(const std::string& key) const {
    const auto number = box_number_of_key(key);
    if (!number) return std::nullopt;
    for (const auto& [obj, id] : assigned_) {
      if (id == *number + 1) return obj;
    }
    return std::nullopt;
  }

  // Decides the piles of episodes on the joined frames that reach the
  // boundary (within the pile distance). An exchange that reaches the
  // boundary exchanges the identities of the later clip's two tracks; one
  // where the animals parted inside a clip goes into that clip's
  // relabelling. A pile over the boundary whose decision is unclear leaves
  // its tracks of the later clip without a carried identity: the boundary
  // step there is as likely wrong as a tracker's inside a pile.
  void decide_near_seam(ClipAnnotationData& joined, int seam, int tail_first, ClipRelabel& relabel, DayChain& out,
                        ChainBoundary& b) {
    const RepairSettings& rs = s_.repair;
    const std::vector<OverlapEpisode> episodes = find_overlap_episodes(joined, rs);
    const internal::UsualAreas usual = internal::usual_areas(joined);
    std::set<Id> distrusted;
    std::map<Id, std::string> why_distrusted;
    for (const auto& group : pile_groups(episodes, rs.pile_frames)) {
      throw_if_stop_requested();
      std::vector<OverlapEpisode> pile;
      int first = episodes[group.front()].first_frame, last = episodes[group.front()].last_frame;
      for (const std::size_t i : group) {
        pile.push_back(episodes[i]);
        first = std::min(first, episodes[i].first_frame), last = std::max(last, episodes[i].last_frame);
      }
      if (first > seam + rs.pile_frames || last < seam - 1 - rs.pile_frames) continue;
      const std::vector<SwapDecision> ds = internal::decide_episodes(joined, pile, predictor_, usual, rs);
      const bool over_seam = first <= seam && last >= seam - 1;
      const bool any_exchange =
          std::any_of(ds.begin(), ds.end(), [](const SwapDecision& d) { return d.verdict == SwapVerdict::kSwap; });
      for (const SwapDecision& d : ds) {
        const std::string &x = d.episode.box_a, &y = d.episode.box_b;
        const auto ox = track_with(x), oy = track_with(y);
        if (d.verdict == SwapVerdict::kSwap) {
          const int after = d.swap_after_frame.value_or(d.episode.last_frame);
          internal::swap_boxes(joined, x, y, after);
          if (after < seam) {
            // It reaches the boundary: the later clip's two tracks exchange.
            if (ox) assigned_[*ox] = object_id_of_key(y);
            if (oy) assigned_[*oy] = object_id_of_key(x);
            for (const auto& o : {ox, oy}) {
              if (o) how_[*o] = {CarryKind::kExchanged, "exchanged at the boundary (" + x + " and " + y + "): " + d.reason};
            }
          }
          if (after < seam - 1) {
            out.relabels.back().swaps.push_back({after + tail_first, object_id_of_key(x), object_id_of_key(y)});
            b.notes.push_back(x + " and " + y + " exchanged in the earlier clip after its frame " +
                              std::to_string(after + tail_first) + " (" + d.reason + ")");
          } else if (after >= seam) {
            relabel.swaps.push_back({after - seam, object_id_of_key(x), object_id_of_key(y)});
            b.notes.push_back(x + " and " + y + " exchanged in this clip after its frame " + std::to_string(after - seam) +
                              " (" + d.reason + ")");
          }
        } else if (over_seam && d.verdict == SwapVerdict::kUnclear) {
          for (const auto& o : {ox, oy}) {
            if (!o) continue;
            distrusted.insert(*o);
            why_distrusted[*o] = "it was in a pile with " + (o == ox ? y : x) + " over the boundary that could not be told (" +
                                 d.reason + ")";
          }
        } else if (over_seam && !any_exchange) {
          for (const auto& o : {ox, oy}) {
            if (o && how_[*o].first == CarryKind::kCarried) how_[*o].second += "; they overlapped at the boundary and " + d.reason;
          }
        }
      }
    }
    for (const Id o : distrusted) {
      const Id id = next_id();
      extra_ids_.insert(id);
      assign(o, id, CarryKind::kUnclear, why_distrusted[o] + ": a new object id");
    }
  }

  // Across a gap: one assignment of the tracks at the later clip's start to
  // the pen's known animals by appearance; a pairing is taken when it fits
  // and beats every exchange with another animal by the margin.
  void pair_by_appearance(const ClipAnnotationData& clip) {
    const auto first_views = whole_views(window_of(clip, s_.window_frames, true), s_.repair.side_frames, true, s_.repair);
    std::vector<Id> rows, cols;
    std::vector<std::vector<std::optional<torch::Tensor>>> row_features, col_features;
    for (const auto& [box, frames] : first_views) {
      if (frames.empty()) continue;
      std::vector<View> views;
      for (const int key : frames) views.push_back({clip.at(key).image_path, clip.at(key).masks_dict.at(box)});
      rows.push_back(object_id_of_key(box));
      row_features.push_back(features_of(views, predictor_));
    }
    // The pen's animals whose looks held over their last clip.
    std::vector<std::vector<std::optional<torch::Tensor>>> early_features;
    for (const auto& [id, looks] : looks_) {
      if (!pen_ids_.contains(id) || looks.last.empty()) continue;
      cols.push_back(id);
      col_features.push_back(features_of(looks.last, predictor_));
      early_features.push_back(looks.early.empty() ? std::vector<std::optional<torch::Tensor>>{} : features_of(looks.early, predictor_));
    }
    {
      std::vector<Id> kept;
      std::vector<std::vector<std::optional<torch::Tensor>>> kept_features;
      for (std::size_t c = 0; c < cols.size(); ++c) {
        bool consistent = !early_features[c].empty();
        if (consistent) {
          const double own = mean_cost(early_features[c], col_features[c]);
          for (std::size_t d = 0; d < cols.size() && consistent; ++d) {
            const double other = mean_cost(early_features[c], col_features[d]);
            consistent = d == c || (other - own >= s_.gap_margin && other >= s_.gap_ratio * std::max(own, 1e-6));
          }
        }
        if (consistent) {
          kept.push_back(cols[c]);
          kept_features.push_back(std::move(col_features[c]));
        } else {
          b_notes_.push_back(day_key(cols[c]) + " is not paired by appearance: its looks did not hold over its last clip "
                             "(a track that changed animals?)");
        }
      }
      cols = std::move(kept);
      col_features = std::move(kept_features);
    }
    if (rows.empty() || cols.empty()) return;
    std::vector<std::vector<double>> cost(rows.size(), std::vector<double>(cols.size(), 2.0));
    for (std::size_t r = 0; r < rows.size(); ++r) {
      for (std::size_t c = 0; c < cols.size(); ++c) cost[r][c] = mean_cost(row_features[r], col_features[c]);
    }
    // Rounds of one assignment over the tracks and animals still open: the
    // pairings clear in a round are taken, and the next round compares the
    // rest only among themselves (an animal taken clearly by another track
    // is no longer a possible look-alike).
    std::vector<bool> row_open(rows.size(), true), col_open(cols.size(), true);
    for (bool progress = true; progress;) {
      progress = false;
      std::vector<std::size_t> rs, cs;
      for (std::size_t r = 0; r < rows.size(); ++r) {
        if (row_open[r]) rs.push_back(r);
      }
      for (std::size_t c = 0; c < cols.size(); ++c) {
        if (col_open[c]) cs.push_back(c);
      }
      if (rs.empty() || cs.empty()) break;
      std::vector<std::vector<double>> score(rs.size(), std::vector<double>(cs.size()));
      for (std::size_t i = 0; i < rs.size(); ++i) {
        for (std::size_t j = 0; j < cs.size(); ++j) score[i][j] = 1 - cost[rs[i]][cs[j]];
      }
      const std::vector<int> best = best_assignment(score, 1 - s_.gap_fit);
      for (std::size_t i = 0; i < rs.size(); ++i) {
        const std::size_t r = rs[i];
        if (best[i] < 0) {
          unclear_[rows[r]] = "no animal of the pen looks like it across the gap";
          continue;
        }
        const std::size_t c = cs[static_cast<std::size_t>(best[i])];
        // The closest alternative: this track looking like another open
        // animal, or another open track looking like this animal. It must
        // cost clearly more, by the margin and by the ratio (looks differ
        // in scale between encoders); a look-alike pair fails both ways.
        double alternative = HUGE_VAL;
        for (const std::size_t d : cs) {
          if (d != c) alternative = std::min(alternative, cost[r][d]);
        }
        for (const std::size_t q : rs) {
          if (q != r) alternative = std::min(alternative, cost[q][c]);
        }
        const double gap = alternative - cost[r][c], ratio = alternative / std::max(cost[r][c], 1e-6);
        const std::string figures =
            "1 - cosine " + fixed(cost[r][c], 3) +
            (std::isfinite(gap) ? "; the next closest costs " + fixed(gap, 3) + " more, " + fixed(std::min(ratio, 99.0), 1) + " times as much"
                                : "; no other open animal to compare");
        if (std::isfinite(gap) && gap >= s_.gap_margin && ratio >= s_.gap_ratio) {
          assign(rows[r], cols[c], CarryKind::kByAppearance, "looks like " + day_key(cols[c]) + " across the gap (" + figures + ")");
          unclear_.erase(rows[r]);
          row_open[r] = col_open[c] = false;
          progress = true;
        } else {
          unclear_[rows[r]] = "looks like " + day_key(cols[c]) + " across the gap, but not clearly (" + figures + ")";
        }
      }
    }
  }

  // The tracks still without an identity, in order of first appearance:
  // the one identity of the closed pen that no track at the same time
  // carries; an animal never seen before while the pen is not full; a new
  // object id otherwise.
  void eliminate() {
    std::vector<Id> open;
    for (const auto& [obj, keys] : presence_) {
      if (!assigned_.contains(obj)) open.push_back(obj);
    }
    std::stable_sort(open.begin(), open.end(), [&](Id a, Id b) { return presence_.at(a).front() < presence_.at(b).front(); });
    for (const Id u : open) {
      const std::vector<int>& frames = presence_.at(u);
      std::set<Id> taken;
      for (const auto& [obj, id] : assigned_) {
        if (share_a_frame(presence_.at(obj), frames)) taken.insert(id);
      }
      std::vector<Id> candidates;
      for (const Id id : pen_ids_) {
        if (!taken.contains(id)) candidates.push_back(id);
      }
      bool alongside = false;  // another track without identity at the same time
      for (const Id v : open) alongside = alongside || (v != u && share_a_frame(presence_.at(v), frames));
      const std::string before = unclear_.contains(u) ? unclear_.at(u) + "; " : std::string();
      const bool full = static_cast<int>(pen_ids_.size()) >= s_.animals;
      if (full && candidates.size() == 1 && !alongside) {
        assign(u, candidates.front(), CarryKind::kByElimination,
               before + "the only animal of the pen no other track carries while it is seen (" +
                   std::to_string(s_.animals) + " animals)");
      } else if (!full && candidates.empty() && !alongside) {
        const Id id = next_id();
        pen_ids_.insert(id);
        assign(u, id, CarryKind::kNewAnimal,
               before + "an animal not seen before: every other identity is on a track while it is seen (the pen's " +
                   std::to_string(pen_ids_.size()) + "th of " + std::to_string(s_.animals) + ")");
      } else {
        const Id id = next_id();
        extra_ids_.insert(id);
        std::string why = before;
        if (alongside) {
          why += "another track without identity is seen at the same time";
        } else if (candidates.empty()) {
          why += "every identity of the pen is on another track while it is seen (a split animal?)";
        } else {
          why += std::to_string(candidates.size()) + " identities could be its";
          if (!full) why += " and the pen has shown only " + std::to_string(pen_ids_.size()) + " of its " + std::to_string(s_.animals) + " animals";
        }
        assign(u, id, CarryKind::kUnclear, why + ": a new object id");
      }
    }
  }

  Id next_id() const {
    Id top = 0;
    for (const Id id : pen_ids_) top = std::max(top, id);
    for (const Id id : extra_ids_) top = std::max(top, id);
    return top + 1;
  }

  ImagePredictor& predictor_;
  const ChainSettings& s_;
  std::set<Id> pen_ids_;    // the pen's animals' day identities
  std::set<Id> extra_ids_;  // object ids given where nothing could be carried
  std::map<Id, Looks> looks_;
  ClipAnnotationData tail_;  // the previous clip's end under day keys
  // Per clip being decided:
  std::map<Id, std::vector<int>> presence_;
  std::map<Id, Id> assigned_;
  std::map<Id, std::pair<CarryKind, std::string>> how_;
  std::map<Id, std::string> unclear_;
  std::vector<std::string> b_notes_;  // notes for the boundary being decided
};


// The file changes that relabel one clip.
std::vector<FileChange> plan_relabel(const std::vector<std::pair<int, std::string>>& files, const ClipRelabel& relabel) {
  std::vector<FileChange> out;
  for (const auto& [key, path] : files) {
    std::map<Id, Id> to;
    for (const auto& [obj, id] : relabel.to) to[obj] = relabel.day_id(obj, key);
    const std::string original = read_regular_file(path, "annotation file", std::size_t{1} << 30);
    std::string text = relabel_object_ids(original, to, "'" + path + "'");
    if (text != original) out.push_back({path, original, std::move(text)});
  }
  return out;
}

void refuse_twice(const std::vector<std::string>& clips) {
  std::map<std::string, std::string> given;
  for (const std::string& clip : clips) {
    fs::path normal = fs::absolute(clip).lexically_normal();
    if (normal.filename().empty()) normal = normal.parent_path();
    const auto [it, fresh] = given.emplace(normal.string(), clip);
    if (!fresh) throw std::invalid_argument("clip '" + clip + "' is given twice");
  }
}

}  // namespace

void check_chain_settings(const ChainSettings& s) {
  check_repair_settings(s.repair);
  const auto refuse = [](const std::string& name, const std::string& rule, const std::string& value) {
    throw std::invalid_argument("chain setting " + name + " must be " + rule + ", got " + value);
  };
  if (s.animals < 1) refuse("animals", "1 or more", std::to_string(s.animals));
  if (s.window_frames < 2) refuse("window_frames", "2 or more", std::to_string(s.window_frames));
  if (!(s.seam_iou > 0 && s.seam_iou <= 1)) refuse("seam_iou", "above 0 and at most 1", format_number(s.seam_iou));
  if (s.continuous_frames < 0) refuse("continuous_frames", "0 or more", std::to_string(s.continuous_frames));
  if (!(std::isfinite(s.gap_margin) && s.gap_margin >= 0)) refuse("gap_margin", "a finite number of 0 or more", format_number(s.gap_margin));
  if (!(std::isfinite(s.gap_ratio) && s.gap_ratio >= 1)) refuse("gap_ratio", "a finite number of 1 or more", format_number(s.gap_ratio));
  if (!(s.gap_fit >= 0 && s.gap_fit <= 2)) refuse("gap_fit", "from 0 to 2", format_number(s.gap_fit));
  if (s.fps && !(std::isfinite(*s.fps) && *s.fps > 0)) refuse("fps", "a positive number", format_number(*s.fps));
}

const char* carry_kind_name(CarryKind kind) {
  switch (kind) {
    case CarryKind::kCarried: return "carried";
    case CarryKind::kExchanged: return "exchanged";
    case CarryKind::kByAppearance: return "by appearance";
    case CarryKind::kByElimination: return "by elimination";
    case CarryKind::kNewAnimal: return "new animal";
    case CarryKind::kUnclear: return "unclear";
  }
  return "?";
}

const char* boundary_kind_name(BoundaryKind kind) { return kind == BoundaryKind::kContinuous ? "continuous" : "gap"; }

std::string ChainBoundary::verdict() const {
  const auto any = [&](CarryKind k) {
    return std::any_of(carries.begin(), carries.end(), [k](const Carry& c) { return c.how == k; });
  };
  if (any(CarryKind::kUnclear)) return "unclear";
  if (any(CarryKind::kByElimination)) return "by elimination";
  if (any(CarryKind::kByAppearance)) return "by appearance";
  return "carried";
}

std::string ChainBoundary::line(const std::string& clip_name) const {
  std::map<CarryKind, int> counts;
  for (const Carry& c : carries) ++counts[c.how];
  std::string tally;
  for (const auto& [kind, n] : counts) tally += (tally.empty() ? "" : ", ") + std::to_string(n) + " " + carry_kind_name(kind);
  std::string out = "clip " + std::to_string(clip + 1) + " (" + clip_name + "): " + kind_reason + "; " + verdict() + " (" +
                    (tally.empty() ? "no tracks" : tally) + ")";
  for (const Carry& c : carries) {
    // A plain carry (its mask overlaps one mask across the boundary) needs
    // no words; one decided over an episode at the boundary does.
    if (c.how == CarryKind::kCarried && c.reason.find("; they overlapped") == std::string::npos) continue;
    out += "\n    object id " + std::to_string(c.object_id) + " (from frame " + std::to_string(c.first_frame) + ") -> " +
           id_words(c.day_id) + ", " + carry_kind_name(c.how) + ": " + c.reason;
  }
  if (!pending.empty()) {
    std::string p;
    for (const std::string& k : pending) p += (p.empty() ? "" : ", ") + k;
    out += "\n    not seen in this clip: " + p;
  }
  for (const std::string& n : notes) out += "\n    " + n;
  return out;
}

bool ClipRelabel::changes() const {
  if (!swaps.empty()) return true;
  return std::any_of(to.begin(), to.end(), [](const auto& p) { return p.first != p.second; });
}

std::int64_t ClipRelabel::day_id(std::int64_t object_id, int key) const {
  const auto it = to.find(object_id);
  Id id = it == to.end() ? object_id : it->second;
  for (const IdentitySwap& s : swaps) {
    if (key <= s.after_frame) continue;
    if (id == s.object_a) {
      id = s.object_b;
    } else if (id == s.object_b) {
      id = s.object_a;
    }
  }
  return id;
}

DayChain chain_clips(const std::vector<std::string>& clips, ImagePredictor& predictor, const ChainSettings& settings,
                     bool dry_run) {
  check_chain_settings(settings);
  if (clips.size() < 2) throw std::invalid_argument("a chain needs at least two clips, got " + std::to_string(clips.size()));
  refuse_twice(clips);
  std::vector<bool> chained_before(clips.size());
  for (std::size_t c = 0; c < clips.size(); ++c) {
    const RepairStatus status = repair_status(clips[c], kChainChanges);
    if (status.state == RepairState::kPending) {
      throw std::invalid_argument("'" + clips[c] + "' holds an interrupted chain; run `pelk chain --undo` over the clips first");
    }
    chained_before[c] = status.state == RepairState::kApplied;
  }
  DayChain out;
  HeapRelease heap;
  Chainer chainer(predictor, settings);
  std::vector<std::vector<std::pair<int, std::string>>> files(clips.size());
  for (std::size_t c = 0; c < clips.size(); ++c) {
    throw_if_stop_requested();
    if (c > 0) heap.between_items();  // one clip in memory at a time
    const ClipAnnotationData clip = load_clip_masks(clips[c], true);
    if (clip.empty()) throw std::invalid_argument("no annotation files (output_pp_<n>.json) under '" + clips[c] + "'");
    for (const auto& [key, record] : clip) files[c].emplace_back(key, record.json_path);
    if (c == 0) {
      chainer.start(clip, out);
    } else {
      chainer.next(c, clips, clip, out);
    }
  }
  out.day_ids = chainer.day_ids();
  for (std::size_t c = 0; c < clips.size(); ++c) {
    if (chained_before[c] && out.relabels[c].changes()) {
      throw std::invalid_argument("'" + clips[c] + "' was chained before and this chain would change it; undo the "
                                  "earlier chain first (pelk chain --undo), nothing was written");
    }
  }
  const std::string first_name = fs::path(clips.front()).lexically_normal().filename().string();
  for (std::size_t c = 0; c < clips.size(); ++c) {
    if (!out.relabels[c].changes()) continue;
    throw_if_stop_requested();
    const std::vector<FileChange> changes = plan_relabel(files[c], out.relabels[c]);
    if (changes.empty()) continue;
    ++out.clips_changed;
    out.files_changed += changes.size();
    if (dry_run) continue;
    std::string description = "day identities of '" + first_name + "'";
    if (c > 0) description += ": " + out.boundaries[c - 1].line(fs::path(clips[c]).filename().string());
    apply_file_changes(clips[c], changes, description, kChainChanges);
  }
  return out;
}

ChainUndo undo_chain(const std::vector<std::string>& clips, bool dry_run) {
  refuse_twice(clips);
  ChainUndo out;
  for (const std::string& clip : clips) {
    const RepairStatus status = repair_status(clip, kChainChanges);
    if (status.state == RepairState::kNone) {
      if (!dry_run) clean_repair_leftovers(clip, kChainChanges);
      continue;
    }
    const std::size_t n = dry_run ? status.files : undo_file_changes(clip, kChainChanges);
    out.clips.emplace_back(clip, n);
    out.files += n;
  }
  return out;
}

}  // namespace pelk
