// Fuzzes the pen-polygon path of the cleaning pass: the input is a pen
// file; a two-frame clip of three animals is cleaned against it. A pen the
// pass cannot use must fail with the library's errors, never clear masks
// silently: a clean that succeeds keeps every mask inside its original.
#include <string>

#include "fuzz/fuzz_scratch.hpp"
#include "fuzz/fuzz_target.hpp"
#include "pelk_utils/refine/mask_refinement.hpp"

namespace {

pelk::Mask blob(cv::Rect r) {
  cv::Mat1b m = cv::Mat1b::zeros(48, 64);
  m(r).setTo(1);
  return pelk::Mask(m);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const pelk::fuzz::Scratch s("pen_clean");
  const std::string pen = s.write("pen.json", std::string(reinterpret_cast<const char*>(data), size));
  pelk::TrackedClip clip;
  for (int f : {0, 1}) {
    clip.insert_or_assign(f, {});
    clip.at(f).insert_or_assign(1, blob({4, 4, 12, 10}));
    clip.at(f).insert_or_assign(2, blob({30, 20, 20, 16}));
    clip.at(f).insert_or_assign(3, pelk::Mask(cv::Mat1b::zeros(48, 64)));
  }
  const pelk::TrackedClip before = clip;
  pelk::Mask_Refinement refine(0.3, {0.5, 1.5}, 200, pen);
  if (!pelk::fuzz::succeeds_quietly([&] { refine.process_video_segments(clip, "clip", {"f0.jpg", "f1.jpg"}); })) {
    return 0;
  }
  for (const auto& [frame, objects] : clip) {
    for (const auto& [id, mask] : objects) {
      if (pelk::intersection_area(mask, before.at(frame).at(id)) != mask.area()) __builtin_trap();
    }
  }
  return 0;
}
