#include "pelk_utils/interchange/coco.hpp"

#include <cmath>
#include <filesystem>

#include <nlohmann/json.hpp>

#include "pelk_utils/core/number.hpp"
#include "pelk_utils/core/streamed_file.hpp"
#include "pelk_utils/tracks/frame_time.hpp"

namespace pelk {
namespace {

std::string quoted(const std::string& text) { return nlohmann::json(text).dump(); }

class CocoWriter : public TrackWriter {
 public:
  CocoWriter(const std::string& path, bool rle)
      : out_(path), video_name_(std::filesystem::path(path).stem().string()), rle_(rle) {
    out_.write("{\"info\": {\"description\": \"pelk_utils tracks\", \"version\": \"1.0\"},\n\"annotations\": [");
  }

  void frame(const ExportFrame& f) override {
    // video_id and frame_id (0-based, in recording order) as video-aware
    // COCO readers (COCO-VID, TAO) expect: the export is one video.
    images_ += std::string(images_.empty() ? "\n" : ",\n") + "{\"id\": " + std::to_string(f.index + 1) +
               ", \"video_id\": 1, \"frame_id\": " + std::to_string(f.index) +
               ", \"file_name\": " + quoted(f.image_path) + ", \"width\": " + std::to_string(f.width) +
               ", \"height\": " + std::to_string(f.height) + ", \"clip\": " + quoted(f.clip) +
               ", \"frame_key\": " + std::to_string(f.frame_key) +
               (f.time ? ", \"frame_time\": " + quoted(iso_time(*f.time)) : std::string()) + "}";
    std::string text;
    for (const ExportObject& o : f.objects) {
      std::string segmentation;
      double area = 0;
      if (rle_ && o.mask != nullptr) {
        std::string counts;
        for (const std::int64_t n : coco_rle_counts(*o.mask)) counts += (counts.empty() ? "" : ",") + std::to_string(n);
        segmentation = "{\"size\": [" + std::to_string(o.mask->size().height) + ", " + std::to_string(o.mask->size().width) +
                       "], \"counts\": [" + counts + "]}";
        area = static_cast<double>(o.area);
      } else {
        for (const auto& polygon : o.polygons) {
          std::string coords;
          for (double v : polygon) coords += (coords.empty() ? "" : ", ") + format_number(v);
          segmentation += (segmentation.empty() ? "[" : ", [") + coords + "]";
          area += polygon_area(polygon);
        }
        segmentation = "[" + segmentation + "]";
      }
      const auto x = static_cast<std::int64_t>(o.box[0]), y = static_cast<std::int64_t>(o.box[1]);
      const auto w = static_cast<std::int64_t>(o.box[2]) - x + 1, h = static_cast<std::int64_t>(o.box[3]) - y + 1;
      const std::size_t id = ++annotations_;
      text += std::string(id == 1 ? "\n" : ",\n") + "{\"id\": " + std::to_string(id) +
              ", \"image_id\": " + std::to_string(f.index + 1) + ", \"category_id\": 1, \"segmentation\": " +
              segmentation + ", \"area\": " + format_number(area) + ", \"bbox\": [" + std::to_string(x) + ", " +
              std::to_string(y) + ", " + std::to_string(w) + ", " + std::to_string(h) +
              "], \"iscrowd\": 0, \"attributes\": {\"track_id\": " + std::to_string(o.id) +
              ", \"keyframe\": true}, \"track_id\": " + std::to_string(o.id) + ", \"instance_id\": " +
              std::to_string(o.id) + ", \"video_id\": 1, \"key\": " + quoted(o.key) + "}";
    }
    out_.write(text);
  }

  std::string finish() override {
    out_.write("\n],\n\"videos\": [{\"id\": 1, \"name\": " + nlohmann::json(video_name_).dump() + "}],\n\"images\": [" + images_ +
               "\n],\n\"categories\": [{\"id\": 1, \"name\": \"pig\", \"supercategory\": \"\"}]}\n");
    out_.commit();
    return "";
  }

 private:
  StreamedFile out_;
  std::string video_name_;
  std::string images_;
  std::size_t annotations_ = 0;
  bool rle_ = false;
};

}  // namespace

std::unique_ptr<TrackWriter> coco_writer(const std::string& path, bool rle) {
  return std::make_unique<CocoWriter>(path, rle);
}

std::vector<std::int64_t> coco_rle_counts(const Mask& mask) {
  const cv::Size frame = mask.size();
  std::vector<std::int64_t> counts;
  bool value = false;
  std::int64_t run = 0;
  const auto add = [&](bool v, std::int64_t n) {
    if (n == 0) return;
    if (v != value) counts.push_back(run), value = v, run = 0;
    run += n;
  };
  const cv::Rect r = mask.bounds();
  const cv::Mat1b bits = mask.roi();
  add(false, std::int64_t{r.x} * frame.height);  // the columns before the mask
  for (int x = 0; x < r.width; ++x) {
    add(false, r.y);
    for (int y = 0; y < r.height; ++y) add(bits(y, x) != 0, 1);
    add(false, frame.height - r.y - r.height);
  }
  add(false, std::int64_t{frame.width - r.x - r.width} * frame.height);
  counts.push_back(run);
  return counts;
}

}  // namespace pelk
