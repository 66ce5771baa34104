// Studio-swing (limited range: luma 16..235, chroma 16..240) YCbCr samples
// mapped to the full range a JPEG stores, as swscale maps them. Extraction
// maps every sample of every saved crop, so the map runs 32 samples at a
// time where the processor allows, with results equal to the table's.
#pragma once

#include <cstdint>

#include <opencv2/core.hpp>

namespace pelk::internal {

enum class Plane { kLuma, kChroma };

// The full-range value of each studio-range sample: a 1 x 256 CV_8U table,
// round((v - 16) * 255 / 219) for luma, round((v - 128) * 255 / 224 + 128)
// for chroma, saturated to 0..255.
const cv::Mat& studio_range_table(Plane plane);

// Maps `n` samples from `in` to `out` (which may be `in`) by
// studio_range_table(plane).
void map_studio_range(const std::uint8_t* in, std::uint8_t* out, int n, Plane plane);

// Whether map_studio_range runs 32 samples at a time here (AVX2, and its
// fixed-point maps agree with the tables on every input).
bool studio_range_is_wide();

}  // namespace pelk::internal
