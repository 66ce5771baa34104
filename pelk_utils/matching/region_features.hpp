// Region features: one appearance vector per masked animal from the
// segmenter's image encoder (dark markings enhanced, background blanked),
// and their pairwise cosine scores, new x old.
#pragma once

#include <optional>
#include <vector>

#include <opencv2/core.hpp>
#include <torch/torch.h>

#include "pelk_utils/core/mask.hpp"
#include "pelk_utils/models/image_encoder.hpp"
#include "pelk_utils/models/image_predictor.hpp"

namespace pelk {

// The side of the square the crops are resized to for the encoder.
inline constexpr int kEncoderInputSide = 256;

// Returns the encoder input for one mask of `image_bgr` (CV_8UC3): the crop
// from the mask's first to its last column and row, the last ones excluded,
// enhanced with enhance_dark_text (gamma 10), black outside the mask, as a
// 1 x 3 x h x w float tensor in 0..1, bilinearly resized (align_corners
// false) to 256 x 256 on `device`. Null for a mask of fewer than 10 pixels
// or one whose crop is empty (one pixel wide or high).
std::optional<torch::Tensor> region_encoder_input(const cv::Mat& image_bgr, const Mask& mask,
                                                  const torch::Device& device);

// Hands `image` (8-bit BGR, grey or BGRA; converted to RGB) to
// `image_predictor` with set_image, then returns per mask, in order, the
// spatial mean of the encoder's "vision_features" on region_encoder_input
// (a vector of length C on the encoder's device), or null where that input
// is null. The encoder runs without gradients. Throws std::invalid_argument
// when the encoder's output has no "vision_features" or it is not
// 1 x C x h x w.
std::vector<std::optional<torch::Tensor>> generate_sam2_image_features(const cv::Mat& image,
                                                                       const std::vector<Mask>& masks,
                                                                       ImagePredictor& image_predictor);

// Returns per mask, in order, region features (as generate_sam2_image_features
// gives them, without set_image) of the animal turned upright: `image`
// (8-bit BGR, grey or BGRA) and the mask turned about the mask's centroid by
// upright_degrees (pixel centres, x to the right, y down; bilinear for the
// image, nearest for the mask, black outside the frame). Null where the mask
// is under 10 pixels. Animals turn between frames far apart; compared
// upright, their looks no longer depend on where they faced.
std::vector<std::optional<torch::Tensor>> generate_upright_region_features(const cv::Mat& image,
                                                                           const std::vector<Mask>& masks,
                                                                           ImagePredictor& image_predictor);

// Returns the angle, in degrees, of `mask`'s principal axis from the x axis
// (y down), in (-90, 90]; 0 for an empty mask or one without an axis.
double principal_axis_degrees(const Mask& mask);

// Returns the turn, in degrees, that lays `mask` along the rows with its
// drawn-out end (the head of an animal seen from above: the area's third
// moment along the axis) to the right: principal_axis_degrees, plus 180 when
// that end points the other way. A shape symmetric along its axis keeps 0.
double upright_degrees(const Mask& mask);

// Returns the cosine similarities of the non-null features, new x old, with
// -inf where either entry is null; a zero vector scores 0. Features are
// compared in double precision on the host.
cv::Mat1d cosine_scores_cal(const std::vector<std::optional<torch::Tensor>>& image_features_new,
                            const std::vector<std::optional<torch::Tensor>>& image_features_old);

}  // namespace pelk
