#include "pelk_utils/interchange/mot.hpp"

#include <map>

#include <nlohmann/json.hpp>

#include "pelk_utils/core/atomic_file.hpp"
#include "pelk_utils/core/streamed_file.hpp"

namespace pelk {
namespace {

class MotWriter : public TrackWriter {
 public:
  explicit MotWriter(const std::string& path) : path_(path), out_(path) {}

  void frame(const ExportFrame& f) override {
    if (clips_.empty() || clips_.back()["clip"] != f.clip) {
      clips_.push_back({{"clip", f.clip}, {"first_frame", f.index + 1}, {"frames", 0}});
    }
    clips_.back()["frames"] = clips_.back()["frames"].get<std::size_t>() + 1;
    for (const ExportObject& o : f.objects) {
      ids_.emplace(o.key, o.id);
      buffer_ += mot_row(f.index + 1, o.id, o.box);
    }
    if (buffer_.size() > (1 << 20)) out_.write(buffer_), buffer_.clear();
  }

  std::string finish() override {
    out_.write(buffer_);
    out_.commit();
    nlohmann::ordered_json ids = nlohmann::ordered_json::object();
    for (const auto& [key, id] : ids_) ids[key] = id;
    const nlohmann::ordered_json mapping = {
        {"format", "MOTChallenge: frame,id,left,top,width,height,conf,-1,-1,-1"},
        {"ids", ids},
        {"ids_rule", "id = the annotation files' object id = box number + 1"},
        {"clips", clips_},
        {"frames_rule", "frame = 1 + position of the frame over all clips in order"},
        {"boxes_rule", "the mask's pixels: left = x_min, top = y_min, width = x_max - x_min + 1"}};
    const std::string mapping_path = path_ + ".json";
    write_file_atomically(mapping_path, mapping.dump(2) + "\n", AtomicWriteOptions{.sync = false});
    return mapping_path;
  }

 private:
  std::string path_;
  StreamedFile out_;
  std::string buffer_;
  std::map<std::string, std::int64_t> ids_;
  nlohmann::ordered_json clips_ = nlohmann::ordered_json::array();
};

}  // namespace

std::string mot_row(std::size_t frame, std::int64_t id, const Box& box) {
  const auto x = static_cast<std::int64_t>(box[0]), y = static_cast<std::int64_t>(box[1]);
  const auto w = static_cast<std::int64_t>(box[2]) - x + 1, h = static_cast<std::int64_t>(box[3]) - y + 1;
  return std::to_string(frame) + ',' + std::to_string(id) + ',' + std::to_string(x) + ',' + std::to_string(y) + ',' +
         std::to_string(w) + ',' + std::to_string(h) + ",1,-1,-1,-1\n";
}

std::unique_ptr<TrackWriter> mot_writer(const std::string& path) { return std::make_unique<MotWriter>(path); }

}  // namespace pelk
