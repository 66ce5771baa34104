#include "pelk_utils/quality/hota.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_map>

#include "pelk_utils/quality/tracking_measures.hpp"

namespace pelk {
namespace {

constexpr double kEps = std::numeric_limits<double>::epsilon();

std::uint64_t pair_key(std::size_t truth, std::size_t tracked) {
  return (static_cast<std::uint64_t>(truth) << 32) | static_cast<std::uint64_t>(tracked);
}

// Fills the means and per-threshold values from the counts.
void finish(HotaMeasures& h, const std::array<double, kHotaThresholds>& ass) {
  for (std::size_t a = 0; a < kHotaThresholds; ++a) {
    h.deta_at[a] = h.tp[a] / std::max(1.0, h.tp[a] + h.fn[a] + h.fp[a]);
    h.assa_at[a] = ass[a];
    h.hota_at[a] = std::sqrt(h.deta_at[a] * h.assa_at[a]);
  }
  const auto mean = [](const std::array<double, kHotaThresholds>& v) {
    double sum = 0;
    for (const double x : v) sum += x;
    return sum / static_cast<double>(kHotaThresholds);
  };
  h.hota = mean(h.hota_at);
  h.deta = mean(h.deta_at);
  h.assa = mean(h.assa_at);
  h.loca = mean(h.loca_at);
}

}  // namespace

double hota_alpha(std::size_t a) { return 0.05 + static_cast<double>(a) * 0.05; }

HotaMeasures hota_measures(const std::vector<FrameSimilarity>& frames, std::size_t truth_ids, std::size_t tracked_ids) {
  HotaMeasures h;
  std::vector<double> truth_count(truth_ids, 0.0), tracked_count(tracked_ids, 0.0);
  double truth_dets = 0, tracked_dets = 0;
  for (const FrameSimilarity& f : frames) {
    for (const std::size_t i : f.truth) ++truth_count[i];
    for (const std::size_t j : f.tracked) ++tracked_count[j];
    truth_dets += static_cast<double>(f.truth.size());
    tracked_dets += static_cast<double>(f.tracked.size());
  }
  const std::array<double, kHotaThresholds> zero{};
  if (tracked_dets == 0 || truth_dets == 0) {
    h.fn.fill(tracked_dets == 0 ? truth_dets : 0);
    h.fp.fill(tracked_dets == 0 ? 0 : tracked_dets);
    h.loca_at.fill(1.0);
    finish(h, zero);
    return h;
  }

  // Global alignment: normalised similarity summed over frames, per id pair.
  std::unordered_map<std::uint64_t, double> potential;
  for (const FrameSimilarity& f : frames) {
    const std::size_t rows = f.truth.size(), cols = f.tracked.size();
    std::vector<double> row_sum(rows, 0.0), col_sum(cols, 0.0);
    for (std::size_t r = 0; r < rows; ++r) {
      for (std::size_t c = 0; c < cols; ++c) row_sum[r] += f.at(r, c), col_sum[c] += f.at(r, c);
    }
    for (std::size_t r = 0; r < rows; ++r) {
      for (std::size_t c = 0; c < cols; ++c) {
        const double denominator = col_sum[c] + row_sum[r] - f.at(r, c);
        if (denominator > kEps && f.at(r, c) != 0) potential[pair_key(f.truth[r], f.tracked[c])] += f.at(r, c) / denominator;
      }
    }
  }
  const auto alignment = [&](std::size_t i, std::size_t j) {
    const auto it = potential.find(pair_key(i, j));
    if (it == potential.end()) return 0.0;
    return it->second / (truth_count[i] + tracked_count[j] - it->second);
  };

  std::unordered_map<std::uint64_t, std::array<double, kHotaThresholds>> matches;
  std::array<double, kHotaThresholds> loc_sum{};
  for (const FrameSimilarity& f : frames) {
    const std::size_t rows = f.truth.size(), cols = f.tracked.size();
    if (rows == 0 || cols == 0) {
      for (std::size_t a = 0; a < kHotaThresholds; ++a) h.fp[a] += static_cast<double>(cols), h.fn[a] += static_cast<double>(rows);
      continue;
    }
    std::vector<std::vector<double>> score(rows, std::vector<double>(cols, 0.0));
    for (std::size_t r = 0; r < rows; ++r) {
      for (std::size_t c = 0; c < cols; ++c) score[r][c] = alignment(f.truth[r], f.tracked[c]) * f.at(r, c);
    }
    const std::vector<int> assigned = best_assignment(score, 0.0);
    for (std::size_t a = 0; a < kHotaThresholds; ++a) {
      const double alpha = hota_alpha(a);
      double tp = 0;
      for (std::size_t r = 0; r < rows; ++r) {
        if (assigned[r] < 0) continue;
        const auto c = static_cast<std::size_t>(assigned[r]);
        const double iou = f.at(r, c);
        if (iou < alpha - kEps) continue;
        ++tp;
        loc_sum[a] += iou;
        matches[pair_key(f.truth[r], f.tracked[c])][a] += 1;
      }
      h.tp[a] += tp;
      h.fn[a] += static_cast<double>(rows) - tp;
      h.fp[a] += static_cast<double>(cols) - tp;
    }
  }

  std::array<double, kHotaThresholds> ass_sum{};
  for (const auto& [key, counts] : matches) {
    const std::size_t i = key >> 32, j = key & 0xffffffffu;
    for (std::size_t a = 0; a < kHotaThresholds; ++a) {
      const double m = counts[a];
      ass_sum[a] += m * (m / std::max(1.0, truth_count[i] + tracked_count[j] - m));
    }
  }
  std::array<double, kHotaThresholds> ass{};
  for (std::size_t a = 0; a < kHotaThresholds; ++a) {
    ass[a] = ass_sum[a] / std::max(1.0, h.tp[a]);
    h.loca_at[a] = std::max(1e-10, loc_sum[a]) / std::max(1e-10, h.tp[a]);
  }
  finish(h, ass);
  return h;
}

}  // namespace pelk
