#include "pelk_utils/matching/region_features.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

#include "pelk_utils/core/dark_text.hpp"

namespace pelk {
namespace {

cv::Mat to_bgr(const cv::Mat& image) {
  if (image.depth() != CV_8U) throw std::invalid_argument("region features need an 8-bit image");
  cv::Mat bgr;
  switch (image.channels()) {
    case 3:
      return image;
    case 1:
      cv::cvtColor(image, bgr, cv::COLOR_GRAY2BGR);
      return bgr;
    case 4:
      cv::cvtColor(image, bgr, cv::COLOR_BGRA2BGR);
      return bgr;
    default:
      throw std::invalid_argument("region features need a 1-, 3- or 4-channel image, got " +
                                  std::to_string(image.channels()));
  }
}

// Throws std::invalid_argument, naming `caller`, when a mask was made on a
// frame of another size than `bgr`.
void check_mask_sizes(const char* caller, const cv::Mat& bgr, const std::vector<Mask>& masks) {
  for (std::size_t i = 0; i < masks.size(); ++i) {
    if (masks[i].size() != bgr.size()) {
      throw std::invalid_argument(std::string(caller) + ": mask " + std::to_string(i) + " was made on a " +
                                  std::to_string(masks[i].size().height) + " x " +
                                  std::to_string(masks[i].size().width) + " frame; expected the image's " +
                                  std::to_string(bgr.rows) + " x " + std::to_string(bgr.cols));
    }
  }
}

// Returns the 1 x C mean of "vision_features" as a vector of length C.
torch::Tensor pooled_features(ImageEncoder& encoder, const torch::Tensor& input) {
  torch::NoGradGuard no_grad;
  const std::map<std::string, torch::Tensor> out = encoder(input);
  const auto it = out.find("vision_features");
  if (it == out.end()) throw std::invalid_argument("the image encoder's output has no \"vision_features\" entry");
  const torch::Tensor& f = it->second;
  if (f.dim() != 4 || f.size(0) != 1 || f.size(1) < 1 || f.size(2) < 1 || f.size(3) < 1) {
    std::string shape;
    for (std::int64_t d = 0; d < f.dim(); ++d) shape += (d ? " x " : "") + std::to_string(f.size(d));
    throw std::invalid_argument(
        "generate_sam2_image_features: the image encoder's \"vision_features\" must be 1 x C x h x w with C, h "
        "and w at least 1, got " + (shape.empty() ? std::string("a scalar") : shape));
  }
  return f.mean({2, 3}).squeeze(0);
}

}  // namespace

std::optional<torch::Tensor> region_encoder_input(const cv::Mat& image_bgr, const Mask& mask,
                                                  const torch::Device& device) {
  if (mask.area() < 10) return std::nullopt;
  const cv::Rect bounds = mask.bounds();
  // The window ends before the mask's last column and row.
  const cv::Rect window(bounds.x, bounds.y, bounds.width - 1, bounds.height - 1);
  if (window.width <= 0 || window.height <= 0) return std::nullopt;
  const cv::Mat enhanced = enhance_dark_text(image_bgr(window), 10);
  const cv::Mat1b inside = mask.roi()(cv::Rect(0, 0, window.width, window.height));
  cv::Mat1b grey = cv::Mat1b::zeros(window.size());
  enhanced.copyTo(grey, inside);
  cv::Mat composed;
  cv::cvtColor(grey, composed, cv::COLOR_GRAY2RGB);
  torch::Tensor t = torch::from_blob(composed.data, {composed.rows, composed.cols, 3}, torch::kUInt8)
                        .permute({2, 0, 1})
                        .unsqueeze(0)
                        .to(torch::kFloat32)
                        .div(255.0)
                        .to(device);
  return torch::nn::functional::interpolate(
      t, torch::nn::functional::InterpolateFuncOptions()
             .size(std::vector<int64_t>{kEncoderInputSide, kEncoderInputSide})
             .mode(torch::kBilinear)
             .align_corners(false));
}

std::vector<std::optional<torch::Tensor>> generate_sam2_image_features(const cv::Mat& image,
                                                                       const std::vector<Mask>& masks,
                                                                       ImagePredictor& image_predictor) {
  const cv::Mat bgr = to_bgr(image);
  check_mask_sizes("generate_sam2_image_features", bgr, masks);
  cv::Mat rgb;
  cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
  image_predictor.set_image(rgb);
  ImageEncoder& encoder = image_predictor.image_encoder();
  std::vector<std::optional<torch::Tensor>> features;
  for (const Mask& mask : masks) {
    const std::optional<torch::Tensor> input = region_encoder_input(bgr, mask, encoder.device());
    features.push_back(input ? std::optional<torch::Tensor>(pooled_features(encoder, *input)) : std::nullopt);
  }
  return features;
}

double principal_axis_degrees(const Mask& mask) {
  const cv::Moments m = cv::moments(mask.roi(), true);
  if (m.m00 <= 0) return 0;
  double degrees = 0.5 * std::atan2(2 * m.mu11, m.mu20 - m.mu02) * 180 / CV_PI;
  if (degrees <= -90) degrees += 180;
  return degrees;
}

double upright_degrees(const Mask& mask) {
  const double axis = principal_axis_degrees(mask);
  const cv::Moments m = cv::moments(mask.roi(), true);
  if (m.m00 <= 0) return axis;
  const double r = axis * CV_PI / 180, c = std::cos(r), s = std::sin(r);
  // The third moment of the area along the axis: which end is longer drawn out.
  const double skew = m.mu30 * c * c * c + 3 * m.mu21 * c * c * s + 3 * m.mu12 * c * s * s + m.mu03 * s * s * s;
  const double scale = std::pow(m.mu20 * c * c + 2 * m.mu11 * c * s + m.mu02 * s * s, 1.5);
  return skew < -1e-3 * scale ? axis + 180 : axis;
}

namespace {

// `bgr` and `mask` turned by `degrees` (the content counter-clockwise on the
// screen) about the mask's centroid, in a square window around it that
// holds the mask at any turn.
std::pair<cv::Mat, Mask> turned_window(const cv::Mat& bgr, const Mask& mask, double degrees) {
  const cv::Rect b = mask.bounds();
  const cv::Moments m = cv::moments(mask.roi(), true);
  const cv::Point2d c(b.x + m.m10 / m.m00, b.y + m.m01 / m.m00);
  const int side = static_cast<int>(std::ceil(std::hypot(b.width, b.height))) + 4;
  // Source pixel -> window pixel: turn about c, then c to the window's centre.
  cv::Mat a = cv::getRotationMatrix2D(cv::Point2f(static_cast<float>(c.x), static_cast<float>(c.y)), degrees, 1.0);
  a.at<double>(0, 2) += side / 2.0 - c.x;
  a.at<double>(1, 2) += side / 2.0 - c.y;
  cv::Mat image;
  cv::warpAffine(bgr, image, a, cv::Size(side, side), cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar::all(0));
  // The mask's bits are in bounds coordinates: shift them to frame ones first.
  cv::Mat am = a.clone();
  am.at<double>(0, 2) += a.at<double>(0, 0) * b.x + a.at<double>(0, 1) * b.y;
  am.at<double>(1, 2) += a.at<double>(1, 0) * b.x + a.at<double>(1, 1) * b.y;
  cv::Mat1b bits;
  cv::warpAffine(mask.roi(), bits, am, cv::Size(side, side), cv::INTER_NEAREST, cv::BORDER_CONSTANT, cv::Scalar(0));
  return {image, Mask(bits)};
}

}  // namespace

std::vector<std::optional<torch::Tensor>> generate_upright_region_features(const cv::Mat& image,
                                                                           const std::vector<Mask>& masks,
                                                                           ImagePredictor& image_predictor) {
  const cv::Mat bgr = to_bgr(image);
  check_mask_sizes("generate_upright_region_features", bgr, masks);
  ImageEncoder& encoder = image_predictor.image_encoder();
  std::vector<std::optional<torch::Tensor>> out;
  for (const Mask& mask : masks) {
    std::optional<torch::Tensor> input;
    if (mask.area() >= 10) {
      const auto [window, turned] = turned_window(bgr, mask, upright_degrees(mask));
      input = region_encoder_input(window, turned, encoder.device());
    }
    out.push_back(input ? std::optional<torch::Tensor>(pooled_features(encoder, *input)) : std::nullopt);
  }
  return out;
}

cv::Mat1d cosine_scores_cal(const std::vector<std::optional<torch::Tensor>>& image_features_new,
                            const std::vector<std::optional<torch::Tensor>>& image_features_old) {
  cv::Mat1d scores(static_cast<int>(image_features_new.size()), static_cast<int>(image_features_old.size()),
                   -std::numeric_limits<double>::infinity());
  const auto host = [](const torch::Tensor& t) { return t.detach().to(torch::kCPU, torch::kFloat64).flatten(); };
  for (int i = 0; i < scores.rows; ++i) {
    const auto& a = image_features_new[static_cast<std::size_t>(i)];
    if (!a) continue;
    const torch::Tensor va = host(*a);
    const double na = va.norm().item<double>();
    for (int j = 0; j < scores.cols; ++j) {
      const auto& b = image_features_old[static_cast<std::size_t>(j)];
      if (!b) continue;
      const torch::Tensor vb = host(*b);
      const double nb = vb.norm().item<double>();
      scores(i, j) = na > 0 && nb > 0 ? va.dot(vb).item<double>() / (na * nb) : 0.0;
    }
  }
  return scores;
}

}  // namespace pelk
