// The size of an image file without decoding it: JPEG and PNG headers are
// read directly (a frame's size is wanted once per clip, and decoding a
// large frame for it costs more than reading the clip's first files).
// Everything else, and any JPEG that carries an orientation, is decoded.
#pragma once

#include <optional>
#include <string>

#include <opencv2/core.hpp>

namespace pelk {

// Returns the size (pixels) cv::imread(path, cv::IMREAD_COLOR) would give,
// or std::nullopt when the file cannot be read as an image.
std::optional<cv::Size> image_size_of(const std::string& path);

}  // namespace pelk
