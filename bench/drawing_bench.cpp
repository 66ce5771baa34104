// Review picture of ten animal masks on a 1180 x 1440 frame: the drawing
// that works inside each mask's rectangle against a baseline that walks every
// pixel of the frame for every mask and blends where the mask is set.
#include "animal_masks.hpp"
#include "bench_report.hpp"
#include "pelk_utils/core/drawing.hpp"
#include "pelk_utils/detect/drawing.hpp"

namespace {

const cv::Mat& frame() {
  static const cv::Mat f = [] {
    cv::Mat m(pelk::bench::kFrame, CV_8UC3);
    cv::randu(m, 0, 255);
    return m;
  }();
  return f;
}

void BM_ImgBbxDrawing(benchmark::State& state) {
  pelk::MaskDict dict;
  const auto masks = pelk::bench::animal_masks();
  for (std::size_t i = 0; i < masks.size(); ++i) dict.insert_or_assign("Box" + std::to_string(i), pelk::Mask(masks[i]));
  for (auto _ : state) benchmark::DoNotOptimize(pelk::img_bbx_drawing(frame(), dict).data);
}
BENCHMARK(BM_ImgBbxDrawing)->Unit(benchmark::kMillisecond);

// The straightforward algorithm: a transparent full-frame overlay, every
// pixel of the frame visited for every mask and set one by one where the mask
// is on, then the whole overlay composited "over" the frame.
void BM_FullFramePerPixelBaseline(benchmark::State& state) {
  const auto masks = pelk::bench::animal_masks();
  for (auto _ : state) {
    cv::Mat overlay(frame().size(), CV_8UC4, cv::Scalar(255, 255, 255, 0));
    for (std::size_t i = 0; i < masks.size(); ++i) {
      const pelk::Rgb c = pelk::position_colour(static_cast<int>(i));
      for (int y = 0; y < overlay.rows; ++y) {
        for (int x = 0; x < overlay.cols; ++x) {
          if (masks[i](y, x) > 0) overlay.at<cv::Vec4b>(y, x) = cv::Vec4b(c.b, c.g, c.r, 128);
        }
      }
    }
    cv::Mat out;
    cv::cvtColor(frame(), out, cv::COLOR_BGR2BGRA);
    for (int y = 0; y < out.rows; ++y) {
      for (int x = 0; x < out.cols; ++x) {
        const cv::Vec4b s = overlay.at<cv::Vec4b>(y, x);
        cv::Vec4b& d = out.at<cv::Vec4b>(y, x);
        const double sa = s[3] / 255.0, da = d[3] / 255.0, oa = sa + da * (1 - sa);
        for (int ch = 0; ch < 3; ++ch) d[ch] = cv::saturate_cast<uchar>((s[ch] * sa + d[ch] * da * (1 - sa)) / oa);
        d[3] = cv::saturate_cast<uchar>(oa * 255);
      }
    }
    benchmark::DoNotOptimize(out.data);
  }
}
BENCHMARK(BM_FullFramePerPixelBaseline)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  pelk::bench::RecordingReporter reporter;
  pelk::bench::run_all(argc, argv, reporter);
  pelk::bench::print_ratio("img_bbx_drawing, 10 masks (s)", reporter.seconds("BM_ImgBbxDrawing"),
                           reporter.seconds("BM_FullFramePerPixelBaseline"), 10);
  return 0;
}
