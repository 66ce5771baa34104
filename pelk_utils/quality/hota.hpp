// HOTA (Luiten et al., IJCV 2021) with its detection, association and
// localisation parts, computed as the paper's reference evaluation code
// computes them, so that the numbers compare with published ones.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

namespace pelk {

// One frame's similarities (IoU) between the present truth ids (rows) and the
// present tracked ids (columns), ids numbered 0.. over the whole sequence.
struct FrameSimilarity {
  std::vector<std::size_t> truth, tracked;
  std::vector<double> iou;  // row-major, truth.size() x tracked.size()
  double at(std::size_t r, std::size_t c) const { return iou[r * tracked.size() + c]; }
};

inline constexpr std::size_t kHotaThresholds = 19;  // alpha = 0.05, 0.10, ..., 0.95

struct HotaMeasures {
  double hota = 0, deta = 0, assa = 0, loca = 0;  // means over the thresholds
  std::array<double, kHotaThresholds> hota_at{}, deta_at{}, assa_at{}, loca_at{};
  std::array<double, kHotaThresholds> tp{}, fn{}, fp{};
};

// Returns the threshold alpha of index a (0.05 + a x 0.05, as numpy's arange).
double hota_alpha(std::size_t a);

// Returns HOTA over `frames` (in any order) of a sequence with `truth_ids`
// truth and `tracked_ids` tracked ids. The global alignment score of truth
// id i and tracked id j is P / (n_i + n_j - P), P summing over frames
// IoU_ij / (row sum + column sum - IoU_ij); each frame gets ONE assignment
// maximising the sum of alignment x IoU; at each alpha its pairs with IoU >=
// alpha are true positives. A side with no detection at all gives HOTA,
// DetA and AssA 0 and LocA 1; LocA at an alpha with no true positive is 1.
HotaMeasures hota_measures(const std::vector<FrameSimilarity>& frames, std::size_t truth_ids, std::size_t tracked_ids);

}  // namespace pelk
