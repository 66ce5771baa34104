#include "pelk_utils/interchange/coco.hpp"

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
  explicit CocoWriter(const std::string& path) : out_(path), video_name_(std::filesystem::path(path).stem().string()) {
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
      for (const auto& polygon : o.polygons) {
        std::string coords;
        for (double v : polygon) coords += (coords.empty() ? "" : ", ") + format_number(v);
        segmentation += (segmentation.empty() ? "[" : ", [") + coords + "]";
      }
      const auto x = static_cast<std::int64_t>(o.box[0]), y = static_cast<std::int64_t>(o.box[1]);
      const auto w = static_cast<std::int64_t>(o.box[2]) - x + 1, h = static_cast<std::int64_t>(o.box[3]) - y + 1;
      const std::size_t id = ++annotations_;
      text += std::string(id == 1 ? "\n" : ",\n") + "{\"id\": " + std::to_string(id) +
              ", \"image_id\": " + std::to_string(f.index + 1) + ", \"category_id\": 1, \"segmentation\": [" +
              segmentation + "], \"area\": " + std::to_string(o.area) + ", \"bbox\": [" + std::to_string(x) + ", " +
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
};

}  // namespace

std::unique_ptr<TrackWriter> coco_writer(const std::string& path) { return std::make_unique<CocoWriter>(path); }

}  // namespace pelk
