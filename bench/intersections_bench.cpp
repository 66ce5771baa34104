// Intersections table of one frame of ten animals: compact masks against the
// plain full-frame computation (count of non-zero of the product of two
// full-frame masks per pair, lower triangle, areas counted once).
#include <cstdio>

#include "animal_masks.hpp"
#include "bench_report.hpp"
#include "pelk_utils/core/overlap.hpp"

namespace {

const std::vector<cv::Mat1b>& full_masks() {
  static const std::vector<cv::Mat1b> masks = pelk::bench::animal_masks();
  return masks;
}

pelk::MaskDict mask_dict() {
  pelk::MaskDict dict;
  for (std::size_t i = 0; i < full_masks().size(); ++i) {
    dict.insert_or_assign("Box" + std::to_string(i), pelk::Mask(full_masks()[i]));
  }
  return dict;
}

void BM_CompactMasks(benchmark::State& state) {
  const pelk::MaskDict dict = mask_dict();
  const pelk::AreaMap areas = pelk::mask_areas(dict);
  for (auto _ : state) benchmark::DoNotOptimize(pelk::intersection_between_masks(dict, areas));
}
BENCHMARK(BM_CompactMasks);

void BM_FullFrameBaseline(benchmark::State& state) {
  const auto& masks = full_masks();
  const int n = static_cast<int>(masks.size());
  for (auto _ : state) {
    std::vector<int> areas;
    for (const auto& m : masks) areas.push_back(cv::countNonZero(m));
    cv::Mat1d table = cv::Mat1d::zeros(n, n);
    cv::Mat1b product;
    for (int i = 0; i < n; ++i) {
      for (int j = 0; j < i; ++j) {
        cv::multiply(masks[i], masks[j], product);
        const double inter = cv::countNonZero(product);
        table(i, j) = inter / areas[i] * 100;
        table(j, i) = inter / areas[j] * 100;
      }
    }
    benchmark::DoNotOptimize(table.data);
  }
}
BENCHMARK(BM_FullFrameBaseline);

}  // namespace

int main(int argc, char** argv) {
  pelk::bench::RecordingReporter reporter;
  pelk::bench::run_all(argc, argv, reporter);
  const double ours = reporter.seconds("BM_CompactMasks");
  const double baseline = reporter.seconds("BM_FullFrameBaseline");
  pelk::bench::print_ratio("time per frame table (s)", ours, baseline, 20);

  std::size_t compact_bytes = 0, full_bytes = 0;
  for (const auto& [key, mask] : mask_dict()) compact_bytes += mask.bytes() + sizeof(pelk::Mask);
  for (const auto& m : full_masks()) full_bytes += m.total();
  std::printf("%-40s ours %zu  baseline %zu\n", "bytes held by 10 masks", compact_bytes, full_bytes);
  pelk::bench::print_ratio("bytes held (fewer is better)", static_cast<double>(compact_bytes),
                           static_cast<double>(full_bytes), 10);
  return 0;
}
