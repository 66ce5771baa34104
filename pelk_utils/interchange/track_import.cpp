#include "pelk_utils/interchange/track_import.hpp"

#include <cmath>
#include <filesystem>
#include <limits>
#include <map>
#include <set>
#include <stdexcept>

#include <opencv2/imgcodecs.hpp>

#include "pelk_utils/annotation/annotation_writer.hpp"
#include "pelk_utils/annotation/clip_loader.hpp"
#include "pelk_utils/core/atomic_file.hpp"
#include "pelk_utils/annotation/annotation_file.hpp"
#include "pelk_utils/core/number.hpp"
#include "pelk_utils/core/polygon_fill.hpp"
#include "pelk_utils/core/shown_text.hpp"
#include "pelk_utils/interchange/imported_boxes.hpp"

namespace pelk {
namespace {

namespace fs = std::filesystem;

// Returns the object id an identity key stands for.
std::int64_t object_id_of(const std::string& key, const ImportedTracks& tracks) {
  if (tracks.kind == "MOTChallenge text") {
    const std::int64_t id = std::stoll(key);
    if (id < 1) throw std::invalid_argument("'" + tracks.source + "': id " + shown_text(key) + " cannot be an object id (ids count from 1)");
    return id;
  }
  if (const std::optional<std::int64_t> n = box_number_of_key(key); n && *n >= 0 && *n < (std::int64_t{1} << 53)) {
    return *n + 1;
  }
  if (key.rfind("track ", 0) == 0) {
    try {
      return std::stoll(key.substr(6)) + 1;
    } catch (const std::exception&) {
    }
  }
  throw std::invalid_argument("'" + tracks.source + "': identity '" + shown_text(key) + "' is neither Box<n> nor a numbered track");
}

// A normalised coordinate that truncates back to the pixel of `pixels`.
double normalised(double pixels, int scale) {
  const double want = std::trunc(pixels);
  double n = pixels / scale;
  while (std::trunc(n * scale) < want) n = std::nextafter(n, std::numeric_limits<double>::infinity());
  while (std::trunc(n * scale) > want) n = std::nextafter(n, -std::numeric_limits<double>::infinity());
  return n;
}

std::string polygon_string(const std::vector<double>& polygon, cv::Size size) {
  std::string text = "0";
  for (std::size_t i = 0; i + 1 < polygon.size(); i += 2) {
    text += ' ' + format_number(normalised(polygon[i], size.width)) + ' ' +
            format_number(normalised(polygon[i + 1], size.height));
  }
  return text;
}

// The pixels whose centres lie inside a continuous box.
Mask box_mask(const ContinuousBox& b, cv::Size size) {
  const auto first = [](double v) { return static_cast<int>(std::clamp(std::ceil(v - 0.5), -1e8, 1e8)); };
  const cv::Rect r(cv::Point(first(b[0]), first(b[1])), cv::Point(first(b[2]), first(b[3])));
  if (r.empty()) return Mask(size, cv::Rect(), cv::Mat1b());
  return Mask(size, r, cv::Mat1b(r.size(), uchar{1}));
}

AnnotatedObject annotated(const ImportedObject& o, std::int64_t id, cv::Size size) {
  AnnotatedObject a;
  a.object_id = id;
  if (o.polygons.empty()) {
    a.mask = box_mask(o.box, size);
    return a;
  }
  std::vector<std::vector<cv::Point>> pixels;
  for (const std::vector<double>& polygon : o.polygons) {
    std::vector<cv::Point>& points = pixels.emplace_back();
    for (std::size_t i = 0; i + 1 < polygon.size(); i += 2) {
      points.emplace_back(static_cast<int>(std::trunc(polygon[i])), static_cast<int>(std::trunc(polygon[i + 1])));
    }
    a.polygons.push_back(polygon_string(polygon, size));
  }
  a.mask = fill_polygons_mask(pixels, size);
  return a;
}

// Each image's frame number: its own (0020.jpg is 20) when every image is
// named by digits, as extracted frames are, else its position.
std::vector<std::int64_t> image_numbers(const std::vector<std::string>& frame_images) {
  std::vector<std::int64_t> numbers;
  for (const std::string& image : frame_images) {
    const std::string stem = fs::path(image).stem().string();
    if (stem.empty() || stem.size() > 12 || stem.find_first_not_of("0123456789") != std::string::npos) {
      numbers.clear();
      for (std::size_t k = 0; k < frame_images.size(); ++k) numbers.push_back(static_cast<std::int64_t>(k));
      return numbers;
    }
    numbers.push_back(std::stoll(stem));
  }
  return numbers;
}

}  // namespace

ImportSummary import_tracks(const ImportedTracks& tracks, const std::vector<std::string>& frame_images,
                            const std::string& out_dir, std::int64_t first_frame) {
  if (frame_images.empty()) throw std::invalid_argument("no frame images to import onto");
  if (!list_annotation_files(out_dir).empty()) {
    throw std::invalid_argument("'" + out_dir + "' already holds annotation files; import into a new folder");
  }
  const cv::Mat first = cv::imread(frame_images.front(), cv::IMREAD_UNCHANGED);
  if (first.empty()) throw std::invalid_argument("cannot read the frame image '" + frame_images.front() + "'");
  const cv::Size size = first.size();
  if (tracks.frame_size && *tracks.frame_size != size) {
    throw std::invalid_argument("'" + tracks.source + "' is drawn on frames of " + std::to_string(tracks.frame_size->width) +
                                " x " + std::to_string(tracks.frame_size->height) + " pixels but '" +
                                frame_images.front() + "' is " + std::to_string(size.width) + " x " +
                                std::to_string(size.height));
  }
  // Everything is checked and composed before the first file is written.
  std::vector<std::vector<AnnotatedObject>> per_image(frame_images.size());
  const std::vector<std::int64_t> numbers = image_numbers(frame_images);
  std::map<std::int64_t, std::size_t> image_of;  // frame number -> position
  for (std::size_t k = 0; k < numbers.size(); ++k) {
    if (const auto [at, added] = image_of.emplace(numbers[k], k); !added) {
      throw std::invalid_argument("frame images '" + frame_images[at->second] + "' and '" + frame_images[k] +
                                  "' are both frame " + std::to_string(numbers[k]));
    }
  }
  std::size_t empty_boxes = 0;  // boxes that cover no pixel of the image
  std::set<std::int64_t> identities;
  ImportSummary summary;
  for (const auto& [frame, objects] : tracks.frames) {
    const auto image = image_of.find(frame - first_frame);
    if (image == image_of.end()) {
      throw std::invalid_argument("'" + tracks.source + "': frame " + std::to_string(frame) + " has no image (" +
                                  std::to_string(frame_images.size()) + " images, frames " +
                                  std::to_string(image_of.begin()->first + first_frame) + " to " +
                                  std::to_string(image_of.rbegin()->first + first_frame) + " counted from " +
                                  std::to_string(first_frame) + ")");
    }
    const std::int64_t position = static_cast<std::int64_t>(image->second);
    std::map<std::int64_t, const std::string*> ids;
    for (const ImportedObject& o : objects) {
      const std::int64_t id = object_id_of(o.key, tracks);
      if (const auto [other, added] = ids.emplace(id, &o.key); !added) {
        throw std::invalid_argument("'" + tracks.source + "': frame " + std::to_string(frame) + ": '" +
                                    shown_text(*other->second) + "' and '" + shown_text(o.key) +
                                    "' would both be object id " + std::to_string(id));
      }
      per_image[static_cast<std::size_t>(position)].push_back(annotated(o, id, size));
      if (per_image[static_cast<std::size_t>(position)].back().mask.empty()) ++empty_boxes;
      identities.insert(id);
      ++summary.objects;
    }
  }
  std::vector<std::string> documents;
  documents.reserve(frame_images.size());
  // Image paths that resolve from any working folder: the folder is read
  // later, from elsewhere.
  for (std::size_t k = 0; k < frame_images.size(); ++k) {
    documents.push_back(annotation_document(fs::absolute(frame_images[k]).lexically_normal().string(), per_image[k]));
  }
  fs::create_directories(out_dir);
  for (std::size_t k = 0; k < documents.size(); ++k) {
    write_file_atomically((fs::path(out_dir) / ("output_pp_" + std::to_string(numbers[k]) + ".json")).string(), documents[k],
                          AtomicWriteOptions{.sync = false});
  }
  if (!tracks.has_polygons()) {
    // Boxes stay boxes: the record keeps them as the file gave them.
    std::vector<ImportedBoxesFile> files(documents.size());
    for (std::size_t k = 0; k < documents.size(); ++k) {
      files[k].frame = numbers[k];
      files[k].file_name = "output_pp_" + std::to_string(numbers[k]) + ".json";
      files[k].text = std::move(documents[k]);
    }
    for (const auto& [frame, objects] : tracks.frames) {
      ImportedBoxesFile& file = files[image_of.at(frame - first_frame)];
      for (const ImportedObject& o : objects) file.boxes.push_back({object_id_of(o.key, tracks), o.box});
    }
    write_imported_boxes(out_dir, tracks.source, tracks.kind, files);
  }
  summary.files = documents.size();
  summary.identities = identities.size();
  summary.notes = tracks.notes;
  if (empty_boxes > 0) {
    summary.notes.push_back(std::to_string(empty_boxes) + (empty_boxes == 1 ? " box lies" : " boxes lie") +
                            " wholly outside the image or cover no pixel centre (no width or height): imported as "
                            "empty masks, absent in their frames");
  }
  return summary;
}

}  // namespace pelk
