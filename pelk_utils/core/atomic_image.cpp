// The image writer lives apart from the byte writer so that programs which
// write no image (pelk's catalogue) do not load OpenCV's codecs.
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "pelk_utils/core/atomic_file.hpp"

namespace pelk {

void write_image_file_atomically(const std::string& path, const cv::Mat& image, const AtomicWriteOptions& options) {
  const std::string ext = std::filesystem::path(path).extension().string();
  std::vector<uchar> bytes;
  bool ok = false;
  try {
    ok = !ext.empty() && cv::imencode(ext, image, bytes);
  } catch (const cv::Exception& e) {
    throw std::runtime_error("cannot write '" + path + "': " + "cannot encode the image: " + e.what());
  }
  if (!ok) throw std::runtime_error("cannot write '" + path + "': " + "cannot encode the image as '" + ext + "'");
  write_file_atomically(path, std::string(bytes.begin(), bytes.end()), options);
}

}  // namespace pelk
