#include "pelk_utils/quality/tracking_measures.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <stdexcept>

namespace pelk {
namespace {

// Hungarian method (minimisation) on an n x m cost table with n <= m.
std::vector<int> hungarian(const std::vector<std::vector<double>>& cost, std::size_t m) {
  const std::size_t n = cost.size();
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<double> u(n + 1, 0), v(m + 1, 0);
  std::vector<std::size_t> p(m + 1, 0), way(m + 1, 0);
  for (std::size_t i = 1; i <= n; ++i) {
    p[0] = i;
    std::size_t j0 = 0;
    std::vector<double> minv(m + 1, inf);
    std::vector<bool> used(m + 1, false);
    do {
      used[j0] = true;
      const std::size_t i0 = p[j0];
      double delta = inf;
      std::size_t j1 = 0;
      for (std::size_t j = 1; j <= m; ++j) {
        if (used[j]) continue;
        const double cur = cost[i0 - 1][j - 1] - u[i0] - v[j];
        if (cur < minv[j]) minv[j] = cur, way[j] = j0;
        if (minv[j] < delta) delta = minv[j], j1 = j;
      }
      for (std::size_t j = 0; j <= m; ++j) {
        if (used[j]) {
          u[p[j]] += delta;
          v[j] -= delta;
        } else {
          minv[j] -= delta;
        }
      }
      j0 = j1;
    } while (p[j0] != 0);
    do {
      const std::size_t j1 = way[j0];
      p[j0] = p[j1];
      j0 = j1;
    } while (j0 != 0);
  }
  std::vector<int> row_to_col(n, -1);
  for (std::size_t j = 1; j <= m; ++j) {
    if (p[j] != 0) row_to_col[p[j] - 1] = static_cast<int>(j - 1);
  }
  return row_to_col;
}

constexpr double kEps = std::numeric_limits<double>::epsilon();

double ratio(double a, double b) { return b > 0 ? a / b : std::numeric_limits<double>::quiet_NaN(); }

std::vector<int> best_assignment_impl(const std::vector<std::vector<double>>& score, double minimum);

// Matches one frame as CLEAR MOT does: a truth id keeps the tracked id it
// was matched with in the previous frame while their IoU passes the
// threshold; the rest are matched by optimal assignment on IoU. Returns, per
// row, the column matched or -1.
std::vector<int> frame_matches(const FrameSimilarity& f, const std::map<std::size_t, std::size_t>& previous,
                               double threshold) {
  const std::size_t rows = f.truth.size(), cols = f.tracked.size();
  // A pair counts only from the threshold (less a rounding hair) and above 0.
  const auto passes = [&](std::size_t r, std::size_t c) {
    const double v = f.at(r, c);
    return v >= threshold - kEps && v > kEps;
  };
  std::vector<int> match(rows, -1);
  std::vector<bool> taken(cols, false);
  for (std::size_t r = 0; r < rows; ++r) {
    const auto last = previous.find(f.truth[r]);
    if (last == previous.end()) continue;
    for (std::size_t c = 0; c < cols; ++c) {
      if (f.tracked[c] == last->second && !taken[c] && passes(r, c)) {
        match[r] = static_cast<int>(c);
        taken[c] = true;
      }
    }
  }
  std::vector<std::size_t> free_rows, free_cols;
  for (std::size_t r = 0; r < rows; ++r) {
    if (match[r] < 0) free_rows.push_back(r);
  }
  for (std::size_t c = 0; c < cols; ++c) {
    if (!taken[c]) free_cols.push_back(c);
  }
  std::vector<std::vector<double>> rest(free_rows.size(), std::vector<double>(free_cols.size(), 0.0));
  for (std::size_t i = 0; i < free_rows.size(); ++i) {
    for (std::size_t j = 0; j < free_cols.size(); ++j) {
      if (passes(free_rows[i], free_cols[j])) rest[i][j] = f.at(free_rows[i], free_cols[j]);
    }
  }
  const std::vector<int> assigned = best_assignment_impl(rest, std::numeric_limits<double>::min());
  for (std::size_t i = 0; i < free_rows.size(); ++i) {
    if (assigned[i] >= 0) match[free_rows[i]] = static_cast<int>(free_cols[static_cast<std::size_t>(assigned[i])]);
  }
  return match;
}

}  // namespace

double mask_iou(const Mask& a, const Mask& b) {
  const std::int64_t inter = intersection_area(a, b);
  const std::int64_t uni = a.area() + b.area() - inter;
  return uni > 0 ? static_cast<double>(inter) / static_cast<double>(uni) : 0.0;
}

std::vector<int> best_assignment(const std::vector<std::vector<double>>& score, double minimum) {
  return best_assignment_impl(score, minimum);
}

namespace {

// Whether two counted pairs of one row or one column have equal positive
// scores: only then can two best assignments tie.
bool has_equal_scores(const std::vector<std::vector<double>>& score, double minimum) {
  const std::size_t rows = score.size(), cols = rows == 0 ? 0 : score[0].size();
  const auto counted = [&](double v) { return v >= minimum && v > 0; };
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t c = 0; c < cols; ++c) {
      if (!counted(score[r][c])) continue;
      for (std::size_t k = c + 1; k < cols; ++k) {
        if (score[r][k] == score[r][c]) return true;
      }
      for (std::size_t k = r + 1; k < rows; ++k) {
        if (score[k][c] == score[r][c]) return true;
      }
    }
  }
  return false;
}

double total_of(const std::vector<std::vector<double>>& score, const std::vector<int>& assigned) {
  double total = 0;
  for (std::size_t r = 0; r < assigned.size(); ++r) {
    if (assigned[r] >= 0) total += score[r][static_cast<std::size_t>(assigned[r])];
  }
  return total;
}

std::vector<int> hungarian_assignment(const std::vector<std::vector<double>>& score, double minimum);

// Among the best assignments, the one in which each row in turn takes the
// earliest column it can (no column only when every best one leaves it
// out): the tie rule, fixed here because the standard evaluation code leaves
// it to its solver.
std::vector<int> first_of_the_best(const std::vector<std::vector<double>>& score, double minimum, double best) {
  const std::size_t rows = score.size(), cols = score[0].size();
  const double tolerance = 1e-9 * std::max(1.0, std::abs(best));
  std::vector<int> out(rows, -1);
  std::vector<bool> used(cols, false);
  double fixed = 0;
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t c = 0; c < cols; ++c) {
      if (used[c] || score[r][c] < minimum) continue;
      // The best the later rows can do with the columns left.
      std::vector<std::size_t> left;
      for (std::size_t k = 0; k < cols; ++k) {
        if (!used[k] && k != c) left.push_back(k);
      }
      std::vector<std::vector<double>> rest(rows - r - 1, std::vector<double>(left.size()));
      for (std::size_t i = r + 1; i < rows; ++i) {
        for (std::size_t j = 0; j < left.size(); ++j) rest[i - r - 1][j] = score[i][left[j]];
      }
      const double later = rest.empty() || left.empty() ? 0 : total_of(rest, hungarian_assignment(rest, minimum));
      if (fixed + score[r][c] + later >= best - tolerance) {
        out[r] = static_cast<int>(c);
        used[c] = true;
        fixed += score[r][c];
        break;
      }
    }
  }
  return out;
}

std::vector<int> best_assignment_impl(const std::vector<std::vector<double>>& score, double minimum) {
  std::vector<int> best = hungarian_assignment(score, minimum);
  if (best.empty() || score[0].empty() || !has_equal_scores(score, minimum)) return best;
  return first_of_the_best(score, minimum, total_of(score, best));
}

std::vector<int> hungarian_assignment(const std::vector<std::vector<double>>& score, double minimum) {
  const std::size_t rows = score.size(), cols = rows == 0 ? 0 : score[0].size();
  if (rows == 0 || cols == 0) return std::vector<int>(rows, -1);
  // Square the table with dummy columns (and rows), pairs below the minimum
  // worth nothing; a pair worth nothing is no match.
  const std::size_t side = std::max(rows, cols);
  std::vector<std::vector<double>> cost(side, std::vector<double>(side, 0.0));
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t c = 0; c < cols; ++c) {
      // A tiny column penalty makes ties go to the earlier column.
      if (score[r][c] >= minimum) cost[r][c] = -score[r][c] + 1e-12 * static_cast<double>(c);
    }
  }
  const std::vector<int> square = hungarian(cost, side);
  std::vector<int> out(rows, -1);
  for (std::size_t r = 0; r < rows; ++r) {
    const int c = square[r];
    if (c >= 0 && static_cast<std::size_t>(c) < cols && score[r][static_cast<std::size_t>(c)] >= minimum) out[r] = c;
  }
  return out;
}

}  // namespace


double box_iou(const ContinuousBox& a, const ContinuousBox& b) {
  const double width = std::max(std::min(a[2], b[2]) - std::max(a[0], b[0]), 0.0);
  const double height = std::max(std::min(a[3], b[3]) - std::max(a[1], b[1]), 0.0);
  const double intersection = width * height;
  const double area_a = (a[2] - a[0]) * (a[3] - a[1]), area_b = (b[2] - b[0]) * (b[3] - b[1]);
  const double union_area = area_a + area_b - intersection;
  if (area_a <= kEps || area_b <= kEps || union_area <= kEps) return 0.0;
  return intersection / union_area;
}

namespace {

// Numbers the distinct keys of one side in order of first appearance.
struct KeyIndex {
  std::vector<std::string> keys;
  std::map<std::string, std::size_t> index;
  std::size_t of(const std::string& key) {
    const auto [it, added] = index.emplace(key, keys.size());
    if (added) keys.push_back(key);
    return it->second;
  }
};

using FramePair = std::pair<const std::vector<TrackObject>*, const std::vector<TrackObject>*>;

// Pairs both sides' frames by number (the tracked side shifted by
// `offset`), in frame order; a frame on one side only gets nullptr on the
// other, or is refused when `strict`.
std::map<std::int64_t, FramePair> paired_frames(const TrackSet& tracked, const TrackSet& truth, std::int64_t offset,
                                                bool strict) {
  std::map<std::int64_t, FramePair> frames;
  for (const auto& [frame, objects] : tracked.frames) frames[frame + offset].first = &objects;
  for (const auto& [frame, objects] : truth.frames) frames[frame].second = &objects;
  if (!strict) return frames;
  for (const auto& [frame, pair] : frames) {
    if (pair.first != nullptr && pair.second != nullptr) continue;
    throw std::invalid_argument("frame " + std::to_string(frame) + " is " +
                                (pair.first ? "tracked but has no truth" : "in the truth but was not tracked") +
                                " (tracked: " + std::to_string(tracked.frames.size()) + " frames, truth: " +
                                std::to_string(truth.frames.size()) + " frames)");
  }
  return frames;
}

// Returns the frame size of the first mask of a side (0 x 0 when none).
cv::Size mask_frame_size(const TrackSet& side) {
  for (const auto& [frame, objects] : side.frames) {
    for (const TrackObject& o : objects) {
      if (o.mask) return o.mask->size();
    }
  }
  return {0, 0};
}

// Masks of two frame sizes cannot be compared pixel by pixel.
void require_same_frame_size(const TrackSet& tracked, const TrackSet& truth) {
  const cv::Size a = mask_frame_size(tracked), b = mask_frame_size(truth);
  if (a.area() == 0 || b.area() == 0 || a == b) return;
  const auto text = [](cv::Size s) { return std::to_string(s.width) + " x " + std::to_string(s.height); };
  throw std::invalid_argument("the tracked masks lie on frames of " + text(a) + " pixels but the truth's on " + text(b) +
                              ": both sides must come from the same frames");
}

double object_iou(const TrackObject& a, const TrackObject& b, bool boxes) {
  return boxes ? box_iou(a.box, b.box) : mask_iou(*a.mask, *b.mask);
}

}  // namespace

namespace {

// The tracked set without the boxes the benchmark's preprocessing drops:
// per frame one assignment of tracked boxes to every truth row on box IoU
// (scores below 0.5 count as none); a tracked box given a distractor row is
// removed. Counts them in `dropped`.
TrackSet without_distractor_matches(const TrackSet& tracked, const TrackSet& truth, std::int64_t frame_offset,
                                    std::int64_t& dropped) {
  TrackSet out = tracked;
  for (auto& [frame, objects] : out.frames) {
    const auto rows = truth.distractor_rows.find(frame + frame_offset);
    if (rows == truth.distractor_rows.end() || objects.empty()) continue;
    std::vector<std::vector<double>> score(rows->second.size(), std::vector<double>(objects.size(), 0.0));
    for (std::size_t r = 0; r < rows->second.size(); ++r) {
      for (std::size_t c = 0; c < objects.size(); ++c) {
        const double iou = box_iou(rows->second[r].first, objects[c].box);
        score[r][c] = iou >= 0.5 - 1e-12 ? iou : 0;
      }
    }
    const std::vector<int> match = best_assignment(score, 1e-12);
    std::vector<bool> drop(objects.size(), false);
    for (std::size_t r = 0; r < match.size(); ++r) {
      if (match[r] >= 0 && rows->second[r].second) drop[static_cast<std::size_t>(match[r])] = true;
    }
    std::vector<TrackObject> kept;
    for (std::size_t c = 0; c < objects.size(); ++c) {
      if (drop[c]) {
        ++dropped;
      } else {
        kept.push_back(std::move(objects[c]));
      }
    }
    objects = std::move(kept);
  }
  return out;
}

}  // namespace

TrackingMeasures evaluate_tracks(const TrackSet& tracked_given, const TrackSet& truth, const EvaluationOptions& options) {
  std::int64_t on_distractors = 0;
  const std::optional<TrackSet> filtered =
      truth.distractor_rows.empty()
          ? std::nullopt
          : std::optional(without_distractor_matches(tracked_given, truth, options.frame_offset, on_distractors));
  const TrackSet& tracked = filtered ? *filtered : tracked_given;
  TrackingMeasures m;
  m.on_distractors = on_distractors;
  m.box_iou = !(tracked.all_masks() && truth.all_masks());
  if (!m.box_iou) require_same_frame_size(tracked, truth);
  const double threshold = options.iou_threshold;
  KeyIndex truth_keys, tracked_keys;
  std::map<std::pair<std::size_t, std::size_t>, std::int64_t> overlapping_frames;  // IDF1 pair counts
  std::map<std::pair<std::size_t, std::size_t>, std::int64_t> matched_frames;      // per-frame matches
  struct Change {
    std::int64_t frame;
    std::size_t from, to;
  };
  std::map<std::size_t, Change> first_change;  // per truth key: its first identity switch
  std::map<std::size_t, std::int64_t> truth_frames, tracked_frames;
  std::map<std::size_t, std::size_t> last_match;  // truth id -> tracked id last matched (any earlier frame)
  std::map<std::size_t, std::size_t> previous;    // the same, in the previous frame with objects on both sides
  std::vector<FrameSimilarity> similarities;
  static const std::vector<TrackObject> kNone;
  double iou_sum = 0;
  const auto frames = paired_frames(tracked, truth, options.frame_offset, options.require_same_frames);
  similarities.reserve(frames.size());
  for (const auto& [frame, pair] : frames) {
    ++m.frames;
    m.missing_frames += pair.first == nullptr;
    m.extra_frames += pair.second == nullptr;
    const std::vector<TrackObject>& t = pair.first ? *pair.first : kNone;
    const std::vector<TrackObject>& g = pair.second ? *pair.second : kNone;
    FrameSimilarity f;
    for (const TrackObject& o : g) f.truth.push_back(truth_keys.of(o.key));
    for (const TrackObject& o : t) f.tracked.push_back(tracked_keys.of(o.key));
    for (const std::size_t r : f.truth) ++truth_frames[r];
    for (const std::size_t c : f.tracked) ++tracked_frames[c];
    m.truth_objects += static_cast<std::int64_t>(g.size());
    m.tracked_objects += static_cast<std::int64_t>(t.size());
    f.iou.resize(g.size() * t.size());
    for (std::size_t r = 0; r < g.size(); ++r) {
      for (std::size_t c = 0; c < t.size(); ++c) {
        const double iou = object_iou(g[r], t[c], m.box_iou);
        f.iou[r * t.size() + c] = iou;
        if (iou >= threshold) ++overlapping_frames[{f.truth[r], f.tracked[c]}];
      }
    }
    if (!g.empty() && !t.empty()) {
      const std::vector<int> match = frame_matches(f, previous, threshold);
      previous.clear();
      std::int64_t matched = 0;
      for (std::size_t r = 0; r < match.size(); ++r) {
        if (match[r] < 0) continue;
        const auto col = static_cast<std::size_t>(match[r]);
        const std::size_t gid = f.truth[r], tid = f.tracked[col];
        ++matched;
        iou_sum += f.at(r, col);
        ++matched_frames[{gid, tid}];
        const auto last = last_match.find(gid);
        if (last != last_match.end() && last->second != tid) {
          ++m.id_switches;
          first_change.emplace(gid, Change{frame, last->second, tid});
        }
        last_match[gid] = tid;
        previous[gid] = tid;
      }
      m.matches += matched;
    }
    similarities.push_back(std::move(f));
  }
  m.misses = m.truth_objects - m.matches;
  m.false_positives = m.tracked_objects - m.matches;
  m.mota = 1.0 - ratio(static_cast<double>(m.misses + m.false_positives + m.id_switches), static_cast<double>(m.truth_objects));
  m.mean_iou = ratio(iou_sum, static_cast<double>(m.matches));
  m.truth_ids = static_cast<std::int64_t>(truth_keys.keys.size());
  m.tracked_ids = static_cast<std::int64_t>(tracked_keys.keys.size());
  m.hota = hota_measures(similarities, truth_keys.keys.size(), tracked_keys.keys.size());

  // IDF1: one tracked key per truth key, most frames covered in total.
  std::vector<std::vector<double>> shared(truth_keys.keys.size(), std::vector<double>(tracked_keys.keys.size(), 0.0));
  for (const auto& [ids, count] : overlapping_frames) shared[ids.first][ids.second] = static_cast<double>(count);
  const std::vector<int> identity = best_assignment(shared, 1.0);
  for (std::size_t r = 0; r < identity.size(); ++r) {
    if (identity[r] >= 0) m.idtp += static_cast<std::int64_t>(shared[r][static_cast<std::size_t>(identity[r])]);
  }
  m.idfn = m.truth_objects - m.idtp;
  m.idfp = m.tracked_objects - m.idtp;
  m.id_precision = ratio(static_cast<double>(m.idtp), static_cast<double>(m.idtp + m.idfp));
  m.id_recall = ratio(static_cast<double>(m.idtp), static_cast<double>(m.idtp + m.idfn));
  m.idf1 = ratio(2.0 * static_cast<double>(m.idtp), static_cast<double>(2 * m.idtp + m.idfp + m.idfn));

  for (std::size_t r = 0; r < truth_keys.keys.size(); ++r) {
    IdentityRecord rec;
    rec.truth_box = truth_keys.keys[r];
    rec.frames = truth_frames[r];
    if (identity[r] >= 0) {
      const auto c = static_cast<std::size_t>(identity[r]);
      rec.assigned_box = tracked_keys.keys[c];
      rec.idtp = static_cast<std::int64_t>(shared[r][c]);
      rec.idfp = tracked_frames[c] - rec.idtp;
    }
    rec.idfn = rec.frames - rec.idtp;
    std::int64_t most = 0;
    for (const auto& [ids, count] : matched_frames) {
      if (ids.first != r) continue;
      rec.tracked += count;
      if (identity[r] >= 0 && ids.second == static_cast<std::size_t>(identity[r])) {
        rec.own_identity += count;
      } else {
        rec.other_identity += count;
        if (count > most) most = count, rec.most_other_box = tracked_keys.keys[ids.second];
      }
    }
    if (const auto change = first_change.find(r); change != first_change.end()) {
      rec.first_switch_frame = change->second.frame;
      rec.switched_from = tracked_keys.keys[change->second.from];
      rec.switched_to = tracked_keys.keys[change->second.to];
    }
    m.identities.push_back(rec);
  }
  std::vector<bool> paired(tracked_keys.keys.size(), false);
  for (const int c : identity) {
    if (c >= 0) paired[static_cast<std::size_t>(c)] = true;
  }
  for (std::size_t c = 0; c < tracked_keys.keys.size(); ++c) {
    if (!paired[c]) m.unpaired_tracked.push_back({tracked_keys.keys[c], tracked_frames[c]});
  }
  return m;
}

TrackingMeasures evaluate_tracking(const ClipAnnotationData& tracked, const ClipAnnotationData& truth,
                                   double iou_threshold, bool require_same_frames) {
  return evaluate_tracks(track_set_of(tracked), track_set_of(truth),
                         EvaluationOptions{.iou_threshold = iou_threshold, .require_same_frames = require_same_frames});
}

}  // namespace pelk
