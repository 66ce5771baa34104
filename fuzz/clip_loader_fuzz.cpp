// Fuzzes the annotation-to-mask path of whole clips: the input is split at
// "\n---\n" into up to four annotation files of one clip folder (the first
// names a small frame image), which the clip loader reads into masks and
// intersection tables. Bad files must fail with the library's own errors;
// a clip that loads must have one record per file and frame-sized masks.
#include <string>

#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>

#include "fuzz/fuzz_scratch.hpp"
#include "fuzz/fuzz_target.hpp"
#include "pelk_utils/annotation/clip_loader.hpp"

namespace {

const pelk::fuzz::Scratch& scratch() {
  static const pelk::fuzz::Scratch s("clip_loader");
  static const bool image = cv::imwrite(s.path("frame.png"), cv::Mat3b(30, 40, cv::Vec3b(10, 20, 30)));
  (void)image;
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const pelk::fuzz::Scratch& s = scratch();
  const std::string clip = s.fresh("clip");
  std::size_t files = 0;
  for (std::size_t from = 0; files < 4;) {
    const std::size_t at = text.find("\n---\n", from);
    std::string body = text.substr(from, at == std::string::npos ? std::string::npos : at - from);
    // "@" stands for the frame image, so the seeds stay readable.
    for (std::size_t p; (p = body.find('@')) != std::string::npos;) body.replace(p, 1, s.path("frame.png"));
    s.write("clip/output_pp_" + std::to_string(files) + ".json", body);
    ++files;
    if (at == std::string::npos) break;
    from = at + 5;
  }
  pelk::AnnotationData loaded;
  if (!pelk::fuzz::succeeds_quietly([&] { loaded = pelk::get_pelk_annotation_data("", false, 0, clip); })) return 0;
  if (!loaded.pelk_annotation_data || loaded.pelk_annotation_data->size() != files) __builtin_trap();
  for (const auto& [key, record] : *loaded.pelk_annotation_data) {
    if (!record.intersections_df || record.intersections_df->size() != record.masks_dict.size()) __builtin_trap();
    for (const auto& [box, mask] : record.masks_dict) {
      if (mask.size() != cv::Size(40, 30) || mask.area() > 40 * 30) __builtin_trap();
    }
  }
  return 0;
}
