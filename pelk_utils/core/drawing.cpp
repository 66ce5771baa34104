#include "pelk_utils/core/drawing.hpp"

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <random>
#include <stdexcept>
#include <vector>

#include <opencv2/freetype.hpp>
#include <opencv2/imgproc.hpp>

namespace pelk {
namespace fs = std::filesystem;

Rgb position_colour(int position) {
  std::mt19937 g(static_cast<std::mt19937::result_type>(42 + position));
  const auto r = static_cast<std::uint8_t>(g() & 0xFF);
  const auto gr = static_cast<std::uint8_t>(g() & 0xFF);
  const auto b = static_cast<std::uint8_t>(g() & 0xFF);
  return {r, gr, b};
}

cv::Scalar to_bgra(const Rgb& c, int alpha) { return cv::Scalar(c.b, c.g, c.r, alpha); }

struct LabelFont::Impl {
  cv::Ptr<cv::freetype::FreeType2> ft;
  std::mutex mutex;  // FreeType2 keeps per-call state
};

namespace {

std::vector<fs::path> font_candidates() {
  std::vector<fs::path> dirs = {"/usr/share/fonts/truetype/msttcorefonts", "/usr/share/fonts/truetype",
                                "/usr/share/fonts/TTF", "/usr/share/fonts", "/usr/local/share/fonts",
                                "/Library/Fonts", "C:/Windows/Fonts"};
  if (const char* home = std::getenv("HOME")) {
    dirs.insert(dirs.begin(), fs::path(home) / ".fonts");
    dirs.insert(dirs.begin(), fs::path(home) / ".local/share/fonts");
  }
  std::vector<fs::path> out;
  for (const auto& d : dirs) out.push_back(d / "arial.ttf");
  out.emplace_back("/usr/share/fonts/truetype/liberation/LiberationSans-Regular.ttf");
  out.emplace_back("/usr/share/fonts/truetype/liberation2/LiberationSans-Regular.ttf");
  out.emplace_back("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf");
  return out;
}

constexpr int kHersheyFace = cv::FONT_HERSHEY_SIMPLEX;
double hershey_scale(int size) { return size / 22.0; }

}  // namespace

LabelFont::LabelFont() : impl_(std::make_shared<Impl>()) {
  for (const fs::path& candidate : font_candidates()) {
    std::error_code ec;
    if (!fs::is_regular_file(candidate, ec)) continue;
    try {
      auto ft = cv::freetype::createFreeType2();
      ft->loadFontData(candidate.string(), 0);
      impl_->ft = ft;
      path_ = candidate.string();
      return;
    } catch (const cv::Exception&) {
      // Unreadable font file: try the next one.
    }
  }
}

const LabelFont& LabelFont::get() {
  static const LabelFont font;  // intentionally never destroyed before exit
  return font;
}

cv::Size LabelFont::text_size(const std::string& text, int size) const {
  int baseline = 0;
  if (impl_->ft) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->ft->getTextSize(text, size, -1, &baseline);
  }
  return cv::getTextSize(text, kHersheyFace, hershey_scale(size), 1, &baseline);
}

void LabelFont::put_text(cv::Mat& image, const std::string& text, cv::Point top_left, int size,
                         const cv::Scalar& colour) const {
  if (impl_->ft && image.type() == CV_8UC4) {
    put_text_on_bgra(image, text, top_left, size, colour);
    return;
  }
  if (impl_->ft) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->ft->putText(image, text, top_left, size, colour, -1, cv::LINE_AA, false);
    return;
  }
  int baseline = 0;
  const cv::Size s = cv::getTextSize(text, kHersheyFace, hershey_scale(size), 1, &baseline);
  cv::putText(image, text, top_left + cv::Point(0, s.height), kHersheyFace, hershey_scale(size), colour, 1,
              cv::LINE_AA);
}

void LabelFont::put_text_on_bgra(cv::Mat& image, const std::string& text, cv::Point top_left, int size,
                                 const cv::Scalar& colour) const {
  // OpenCV's FreeType renderer draws on 3-channel images only: draw on a BGR
  // copy of the text's area and copy back the pixels it changed, opaque.
  const cv::Size ink = text_size(text, size);
  const cv::Rect area = cv::Rect(top_left.x - size, top_left.y - size, ink.width + 3 * size, ink.height + 3 * size) &
                        cv::Rect(0, 0, image.cols, image.rows);
  if (area.empty()) return;
  cv::Mat roi = image(area);
  cv::Mat bgr, before;
  cv::cvtColor(roi, bgr, cv::COLOR_BGRA2BGR);
  before = bgr.clone();
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->ft->putText(bgr, text, top_left - area.tl(), size, colour, -1, cv::LINE_AA, false);
  }
  for (int y = 0; y < area.height; ++y) {
    for (int x = 0; x < area.width; ++x) {
      const cv::Vec3b& p = bgr.at<cv::Vec3b>(y, x);
      if (p != before.at<cv::Vec3b>(y, x)) roi.at<cv::Vec4b>(y, x) = cv::Vec4b(p[0], p[1], p[2], 255);
    }
  }
}

void draw_label_plate(cv::Mat& image, cv::Point top_left, const std::string& label, const cv::Scalar& plate_colour,
                      const cv::Scalar& text_colour, int font_size, int padding) {
  const LabelFont& font = LabelFont::get();
  const cv::Size text = font.text_size(label, font_size);
  const cv::Point plate_tl(top_left.x, top_left.y - text.height - padding);
  const cv::Point plate_br(top_left.x + text.width + padding, top_left.y);
  cv::rectangle(image, plate_tl, plate_br, plate_colour, cv::FILLED);
  font.put_text(image, label, cv::Point(top_left.x + 2, plate_tl.y), font_size, text_colour);
}

cv::Mat to_bgra_image(const cv::Mat& image) {
  cv::Mat out;
  switch (image.type()) {
    case CV_8UC1:
      cv::cvtColor(image, out, cv::COLOR_GRAY2BGRA);
      break;
    case CV_8UC3:
      cv::cvtColor(image, out, cv::COLOR_BGR2BGRA);
      break;
    case CV_8UC4:
      out = image.clone();
      break;
    default:
      throw std::invalid_argument("image must be 8-bit with 1, 3 or 4 channels, got type " +
                                  std::to_string(image.type()));
  }
  return out;
}

namespace {

// Blends `colour` at `alpha` over one BGRA pixel ("over" compositing).
cv::Vec4b blend_pixel(const cv::Vec4b& base, const double src[3], double a) {
  cv::Vec4b out;
  const double base_a = base[3] / 255.0;
  const double out_a = a + base_a * (1 - a);
  for (int c = 0; c < 3; ++c) out[c] = cv::saturate_cast<std::uint8_t>((src[c] * a + base[c] * base_a * (1 - a)) / out_a);
  out[3] = cv::saturate_cast<std::uint8_t>(out_a * 255);
  return out;
}

// Returns true when any of `others` holds pixel (x, y).
bool covered_by(const std::vector<const Mask*>& others, int x, int y) {
  for (const Mask* m : others) {
    if (m->at(x, y)) return true;
  }
  return false;
}

}  // namespace

void composite_over(cv::Mat& out, const cv::Mat& base, const Mask& mask, const Rgb& colour, int alpha) {
  composite_masks_over(out, base.data == out.data ? base.clone() : base, {&mask}, {colour}, alpha);
}

void composite_masks_over(cv::Mat& image, const cv::Mat& base, const std::vector<const Mask*>& masks,
                          const std::vector<Rgb>& colours, int alpha) {
  const double a = alpha / 255.0;
  // Later masks win: walk them from the last, and let each earlier mask skip
  // the pixels a later one has already painted. Only masks whose rectangles
  // meet are consulted, so disjoint animals cost nothing extra.
  for (std::size_t k = masks.size(); k-- > 0;) {
    const Mask& mask = *masks[k];
    if (mask.empty()) continue;
    const cv::Rect r = mask.bounds();
    std::vector<const Mask*> later;
    for (std::size_t j = k + 1; j < masks.size(); ++j) {
      if ((masks[j]->bounds() & r).area() > 0) later.push_back(masks[j]);
    }
    const Rgb& c = colours[k];
    const double src[3] = {static_cast<double>(c.b), static_cast<double>(c.g), static_cast<double>(c.r)};
    // Opaque frame pixels: one table per channel.
    std::uint8_t lut[3][256];
    for (int ch = 0; ch < 3; ++ch) {
      for (int v = 0; v < 256; ++v) lut[ch][v] = cv::saturate_cast<std::uint8_t>((src[ch] * a * 255 + v * (255 - a * 255)) / 255);
    }
    const cv::Mat1b bits = mask.roi();
    for (int y = 0; y < r.height; ++y) {
      const std::uint8_t* m = bits.ptr<std::uint8_t>(y);
      const cv::Vec4b* b = base.ptr<cv::Vec4b>(r.y + y) + r.x;
      cv::Vec4b* o = image.ptr<cv::Vec4b>(r.y + y) + r.x;
      for (int x = 0; x < r.width; ++x) {
        if (!m[x]) continue;
        if (!later.empty() && covered_by(later, r.x + x, r.y + y)) continue;
        if (b[x][3] == 255) {
          o[x] = cv::Vec4b(lut[0][b[x][0]], lut[1][b[x][1]], lut[2][b[x][2]], 255);
        } else {
          o[x] = blend_pixel(b[x], src, a);
        }
      }
    }
  }
}

}  // namespace pelk
