#include "pelk_utils/quality/tracking_measures.hpp"

#include <algorithm>
#include <limits>
#include <map>
#include <stdexcept>

namespace pelk {
namespace {

// The non-empty masks of one frame, in key order of the file.
struct FrameMasks {
  std::vector<std::string> keys;
  std::vector<const Mask*> masks;
};

FrameMasks present(const FrameRecord& record) {
  FrameMasks out;
  for (const auto& [key, mask] : record.masks_dict) {
    if (mask.empty()) continue;
    out.keys.push_back(key);
    out.masks.push_back(&mask);
  }
  return out;
}

FrameMasks present(const FrameRecord* record) { return record ? present(*record) : FrameMasks{}; }

// Pairs the records of both clips by frame number, in frame order; a frame
// on one side only is paired with nullptr (or refused when `strict`).
std::vector<std::pair<const FrameRecord*, const FrameRecord*>> paired_frames(const ClipAnnotationData& tracked,
                                                                               const ClipAnnotationData& truth,
                                                                               bool strict) {
  std::map<std::int64_t, std::pair<const FrameRecord*, const FrameRecord*>> frames;
  for (const auto& [key, record] : tracked) frames[record.frame_index].first = &record;
  for (const auto& [key, record] : truth) frames[record.frame_index].second = &record;
  std::vector<std::pair<const FrameRecord*, const FrameRecord*>> out;
  for (const auto& [frame, pair] : frames) {
    if (strict && (pair.first == nullptr || pair.second == nullptr)) {
      throw std::invalid_argument("frame " + std::to_string(frame) + " is " +
                                  (pair.first ? "tracked but has no truth" : "in the truth but was not tracked") +
                                  " (tracked: " + std::to_string(tracked.size()) + " frames, truth: " +
                                  std::to_string(truth.size()) + " frames)");
    }
    out.push_back(pair);
  }
  return out;
}

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

double ratio(double a, double b) { return b > 0 ? a / b : std::numeric_limits<double>::quiet_NaN(); }

std::vector<int> best_assignment_impl(const std::vector<std::vector<double>>& score, double minimum);

// Matches one frame as CLEAR MOT does: a truth mask keeps the tracked key it
// was last matched with while their IoU reaches the threshold; the rest are
// matched by optimal assignment. Returns, per truth mask, the position of its
// tracked mask or -1.
std::vector<int> frame_matches(const std::vector<std::vector<double>>& iou, const std::vector<std::size_t>& gi,
                               const std::vector<std::size_t>& ti, const std::map<std::size_t, std::size_t>& last_match,
                               double threshold) {
  std::vector<int> match(iou.size(), -1);
  std::vector<bool> taken(ti.size(), false);
  for (std::size_t r = 0; r < iou.size(); ++r) {
    const auto last = last_match.find(gi[r]);
    if (last == last_match.end()) continue;
    for (std::size_t c = 0; c < ti.size(); ++c) {
      if (ti[c] == last->second && !taken[c] && iou[r][c] >= threshold) {
        match[r] = static_cast<int>(c);
        taken[c] = true;
      }
    }
  }
  std::vector<std::size_t> rows, cols;
  for (std::size_t r = 0; r < iou.size(); ++r) {
    if (match[r] < 0) rows.push_back(r);
  }
  for (std::size_t c = 0; c < ti.size(); ++c) {
    if (!taken[c]) cols.push_back(c);
  }
  std::vector<std::vector<double>> rest(rows.size(), std::vector<double>(cols.size(), 0.0));
  for (std::size_t i = 0; i < rows.size(); ++i) {
    for (std::size_t j = 0; j < cols.size(); ++j) rest[i][j] = iou[rows[i]][cols[j]];
  }
  const std::vector<int> assigned = best_assignment_impl(rest, threshold);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (assigned[i] >= 0) match[rows[i]] = static_cast<int>(cols[static_cast<std::size_t>(assigned[i])]);
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

std::vector<int> best_assignment_impl(const std::vector<std::vector<double>>& score, double minimum) {
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

TrackingMeasures evaluate_tracking(const ClipAnnotationData& tracked, const ClipAnnotationData& truth,
                                   double iou_threshold, bool require_same_frames) {
  TrackingMeasures m;
  std::vector<std::string> truth_keys, tracked_keys;
  std::map<std::string, std::size_t> truth_index, tracked_index;
  const auto index_of = [](std::map<std::string, std::size_t>& index, std::vector<std::string>& keys,
                           const std::string& key) {
    const auto [it, added] = index.emplace(key, keys.size());
    if (added) keys.push_back(key);
    return it->second;
  };
  std::map<std::pair<std::size_t, std::size_t>, std::int64_t> overlapping_frames;  // IDF1 pair counts
  std::map<std::pair<std::size_t, std::size_t>, std::int64_t> matched_frames;      // per-frame matches
  struct Change {
    std::int64_t frame;
    std::size_t from, to;
  };
  std::map<std::size_t, Change> first_change;  // per truth key: its first identity switch
  std::map<std::size_t, std::int64_t> truth_frames, tracked_frames;
  std::map<std::size_t, std::size_t> last_match;
  double iou_sum = 0;
  for (const auto& [tracked_record, truth_record] : paired_frames(tracked, truth, require_same_frames)) {
    const std::int64_t frame_key = (truth_record != nullptr ? truth_record : tracked_record)->frame_index;
    ++m.frames;
    m.missing_frames += tracked_record == nullptr;
    m.extra_frames += truth_record == nullptr;
    const FrameMasks t = present(tracked_record), g = present(truth_record);
    std::vector<std::size_t> gi, ti;
    for (const std::string& k : g.keys) gi.push_back(index_of(truth_index, truth_keys, k));
    for (const std::string& k : t.keys) ti.push_back(index_of(tracked_index, tracked_keys, k));
    for (std::size_t r : gi) ++truth_frames[r];
    for (std::size_t c : ti) ++tracked_frames[c];
    m.truth_objects += static_cast<std::int64_t>(g.masks.size());
    m.tracked_objects += static_cast<std::int64_t>(t.masks.size());
    std::vector<std::vector<double>> iou(g.masks.size(), std::vector<double>(t.masks.size(), 0.0));
    for (std::size_t r = 0; r < g.masks.size(); ++r) {
      for (std::size_t c = 0; c < t.masks.size(); ++c) {
        iou[r][c] = mask_iou(*g.masks[r], *t.masks[c]);
        if (iou[r][c] >= iou_threshold) ++overlapping_frames[{gi[r], ti[c]}];
      }
    }
    const std::vector<int> match = frame_matches(iou, gi, ti, last_match, iou_threshold);
    std::int64_t matched = 0;
    for (std::size_t r = 0; r < match.size(); ++r) {
      if (match[r] < 0) continue;
      const std::size_t c = ti[static_cast<std::size_t>(match[r])];
      ++matched;
      iou_sum += iou[r][static_cast<std::size_t>(match[r])];
      ++matched_frames[{gi[r], c}];
      const auto last = last_match.find(gi[r]);
      if (last != last_match.end() && last->second != c) {
        ++m.id_switches;
        first_change.emplace(gi[r], Change{frame_key, last->second, c});
      }
      last_match[gi[r]] = c;
    }
    m.matches += matched;
    m.misses += static_cast<std::int64_t>(g.masks.size()) - matched;
    m.false_positives += static_cast<std::int64_t>(t.masks.size()) - matched;
  }
  m.mota = 1.0 - ratio(static_cast<double>(m.misses + m.false_positives + m.id_switches), static_cast<double>(m.truth_objects));
  m.mean_iou = ratio(iou_sum, static_cast<double>(m.matches));

  // IDF1: one tracked key per truth key, most frames covered in total.
  std::vector<std::vector<double>> shared(truth_keys.size(), std::vector<double>(tracked_keys.size(), 0.0));
  for (const auto& [pair, count] : overlapping_frames) shared[pair.first][pair.second] = static_cast<double>(count);
  const std::vector<int> identity = best_assignment(shared, 1.0);
  for (std::size_t r = 0; r < identity.size(); ++r) {
    if (identity[r] >= 0) m.idtp += static_cast<std::int64_t>(shared[r][static_cast<std::size_t>(identity[r])]);
  }
  m.idfn = m.truth_objects - m.idtp;
  m.idfp = m.tracked_objects - m.idtp;
  m.id_precision = ratio(static_cast<double>(m.idtp), static_cast<double>(m.idtp + m.idfp));
  m.id_recall = ratio(static_cast<double>(m.idtp), static_cast<double>(m.idtp + m.idfn));
  m.idf1 = ratio(2.0 * static_cast<double>(m.idtp), static_cast<double>(2 * m.idtp + m.idfp + m.idfn));

  for (std::size_t r = 0; r < truth_keys.size(); ++r) {
    IdentityRecord rec;
    rec.truth_box = truth_keys[r];
    rec.frames = truth_frames[r];
    if (identity[r] >= 0) {
      const std::size_t c = static_cast<std::size_t>(identity[r]);
      rec.assigned_box = tracked_keys[c];
      rec.idtp = static_cast<std::int64_t>(shared[r][c]);
      rec.idfp = tracked_frames[c] - rec.idtp;
    }
    rec.idfn = rec.frames - rec.idtp;
    std::int64_t most = 0;
    for (const auto& [pair, count] : matched_frames) {
      if (pair.first != r) continue;
      rec.tracked += count;
      if (identity[r] >= 0 && pair.second == static_cast<std::size_t>(identity[r])) {
        rec.own_identity += count;
      } else {
        rec.other_identity += count;
        if (count > most) most = count, rec.most_other_box = tracked_keys[pair.second];

      }
    }
    if (const auto change = first_change.find(r); change != first_change.end()) {
      rec.first_switch_frame = change->second.frame;
      rec.switched_from = tracked_keys[change->second.from];
      rec.switched_to = tracked_keys[change->second.to];
    }
    m.identities.push_back(rec);
  }
  std::vector<bool> paired(tracked_keys.size(), false);
  for (const int c : identity) {
    if (c >= 0) paired[static_cast<std::size_t>(c)] = true;
  }
  for (std::size_t c = 0; c < tracked_keys.size(); ++c) {
    if (!paired[c]) m.unpaired_tracked.push_back({tracked_keys[c], tracked_frames[c]});
  }
  return m;
}

}  // namespace pelk
