// Drawing primitives shared by the review pictures: the fixed colour of a
// mask position, the label font (loaded once per process), label plates and
// "over" compositing of a translucent colour inside a mask.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "pelk_utils/core/mask.hpp"

namespace pelk {

struct Rgb {
  std::uint8_t r, g, b;
  friend bool operator==(const Rgb&, const Rgb&) = default;
};

// Returns the colour of mask position `position`: the low 8 bits of the
// first three outputs of std::mt19937 seeded with 42 + position (red, green,
// blue). Matches the colours numpy-based tools draw after seeding 42 + i.
// Uses a private generator; no global state changes.
Rgb position_colour(int position);

// Returns `c` as a BGRA scalar with alpha `alpha` (0..255).
cv::Scalar to_bgra(const Rgb& c, int alpha = 255);

// The TrueType font of labels: "arial.ttf" from the usual font folders,
// else Liberation Sans, else DejaVu Sans, else OpenCV's Hershey font.
// Loaded once per process; safe to use from several threads.
class LabelFont {
 public:
  // Returns the process-wide font.
  static const LabelFont& get();
  // Returns the font file in use, or "" for the built-in Hershey font.
  const std::string& path() const { return path_; }
  // Returns the width and height in pixels of the ink of `text` at `size`
  // pixels per em.
  cv::Size text_size(const std::string& text, int size) const;
  // Draws `text` on `image` (CV_8UC3 or CV_8UC4) with the top of its line at
  // `top_left` (pixels), `size` pixels per em, in `colour` (image order).
  void put_text(cv::Mat& image, const std::string& text, cv::Point top_left, int size,
                const cv::Scalar& colour) const;

 private:
  LabelFont();
  void put_text_on_bgra(cv::Mat& image, const std::string& text, cv::Point top_left, int size,
                        const cv::Scalar& colour) const;
  struct Impl;
  std::string path_;
  std::shared_ptr<Impl> impl_;
};

// Draws a label plate: a filled rectangle in `plate_colour` from
// (x, y - text_height - padding) to (x + text_width + padding, y), and the
// text in `text_colour` at (x + 2, y - text_height - padding), so the plate
// sits on a rectangle whose top-left corner is (x, y). Parts outside the
// image are clipped. `image` is CV_8UC3 or CV_8UC4; colours in its order.
void draw_label_plate(cv::Mat& image, cv::Point top_left, const std::string& label, const cv::Scalar& plate_colour,
                      const cv::Scalar& text_colour, int font_size = 11, int padding = 4);

// Converts `image` (CV_8UC1, CV_8UC3 BGR or CV_8UC4 BGRA) to a new BGRA
// image; throws std::invalid_argument for other types.
cv::Mat to_bgra_image(const cv::Mat& image);

// Writes, for each pixel inside `mask`, the "over" composite of `colour`
// at `alpha` onto the pixel of `base` (CV_8UC4) into `out` (CV_8UC4, same
// size). Touches only the mask's rectangle.
void composite_over(cv::Mat& out, const cv::Mat& base, const Mask& mask, const Rgb& colour, int alpha);

// Composites masks[i] in colours[i] at `alpha` over `base` into `image`
// (both CV_8UC4, same size; they may be the same image). Where masks overlap
// the later one wins, blended with the base pixel as if painted alone.
// Touches only the masks' rectangles.
void composite_masks_over(cv::Mat& image, const cv::Mat& base, const std::vector<const Mask*>& masks,
                          const std::vector<Rgb>& colours, int alpha);

}  // namespace pelk
