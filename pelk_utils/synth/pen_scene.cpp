#include "pelk_utils/synth/pen_scene.hpp"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <random>
#include <stdexcept>

#include <nlohmann/json.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "pelk_utils/core/atomic_file.hpp"

namespace pelk::synth {
namespace {

namespace fs = std::filesystem;

constexpr double kReferenceWidth = 1180;  // the cropped width the scene is laid out for
constexpr int kAnimals = 10;
constexpr double kBodyHalfWidth = 48, kBodyHalfLength = 108, kHeadHalfWidth = 28, kHeadHalfLength = 34;

// 0 outside the span, 1 inside, with linear ramps of `ramp` frames at both ends.
double span_weight(const FrameSpan& span, int f, double ramp) {
  if (!span.contains(f)) return 0;
  const double in = f - span.first + 1, out = span.last - f;
  return std::clamp(std::min(in, out) / ramp, 0.0, 1.0);
}

cv::Point2d direction(double degrees) {
  const double r = degrees * M_PI / 180;
  return {std::cos(r), std::sin(r)};
}

}  // namespace

PenScene::PenScene(SceneConfig config) : config_(config) {
  if (config_.frame_size.width < 100 || config_.frame_size.height < 100) {
    throw std::invalid_argument("the synthetic scene needs frames of at least 100 x 100 pixels");
  }
  if (config_.frames < 1 || !(config_.fps > 0)) throw std::invalid_argument("the synthetic scene needs frames and a frame rate");
  scale_ = config_.frame_size.width / kReferenceWidth;
  const double sy = config_.frame_size.height / 1440.0;
  const auto at = [&](double x, double y) { return cv::Point(cvRound(x * scale_), cvRound(y * sy)); };
  marker_ = cv::Rect(at(50, 0), at(130, 1440));
  pen_ = {at(170, 40), at(1120, 30), at(1140, 700), at(1130, 1400), at(180, 1410), at(160, 720)};

  std::mt19937_64 rng(config_.seed);
  std::normal_distribution<double> noise(0, 1);
  cv::Mat1f texture(config_.frame_size);
  for (float& v : texture) v = static_cast<float>(noise(rng));
  cv::GaussianBlur(texture, texture, cv::Size(0, 0), 2.5 * scale_ + 0.5);
  cv::normalize(texture, texture, -14, 14, cv::NORM_MINMAX);
  cv::Mat1b grey;
  texture.convertTo(grey, CV_8U, 1, 58);
  cv::cvtColor(grey, floor_, cv::COLOR_GRAY2BGR);
  cv::polylines(floor_, std::vector<std::vector<cv::Point>>{pen_}, true, cv::Scalar(100, 105, 110),
                std::max(1, cvRound(4 * scale_)), cv::LINE_AA);
  floor_(marker_ & cv::Rect(cv::Point(0, 0), config_.frame_size)).setTo(cv::Scalar(0, 128, 255));

  // Homes on a 3 x 4 grid inside the pen; animal 7 lives by the bottom edge.
  const double xs[3] = {340, 640, 940}, ys[4] = {230, 560, 890, 1220};
  const int slots[kAnimals][2] = {{0, 0}, {1, 0}, {2, 0}, {0, 1}, {1, 1}, {2, 1}, {0, 2}, {1, 3}, {2, 2}, {2, 3}};
  std::uniform_real_distribution<double> unit(0, 1);
  if (!config_.arrangement.empty()) {
    std::vector<int> sorted = config_.arrangement;
    std::sort(sorted.begin(), sorted.end());
    for (int i = 0; i < kAnimals; ++i) {
      if (sorted.size() != static_cast<std::size_t>(kAnimals) || sorted[static_cast<std::size_t>(i)] != i) {
        throw std::invalid_argument("the synthetic scene's arrangement must be a permutation of 0..9");
      }
    }
  }
  for (int i = 0; i < kAnimals; ++i) {
    const int place = config_.arrangement.empty() ? i : config_.arrangement[static_cast<std::size_t>(i)];
    home_.emplace_back(xs[slots[place][0]] * scale_, ys[slots[place][1]] * sy);
    amplitude_.emplace_back((10 + 15 * unit(rng)) * scale_ * config_.sway, (10 + 12 * unit(rng)) * sy * config_.sway);
    phase_.push_back(2 * M_PI * unit(rng));
    speed_.push_back(2 * M_PI / (config_.fps * (6 + 4 * unit(rng))));  // one sway every 6..10 s
  }
}

PenScene::Pose PenScene::pose(int identity, int f) const {
  const std::size_t i = static_cast<std::size_t>(identity);
  double moving = f;  // frames walked so far: pauses stop the walk's clock
  for (const Pause& pause : config_.pauses) {
    if (pause.animal == identity) moving -= std::clamp(f - pause.span.first, 0, pause.span.last - pause.span.first);
  }
  const double t = speed_[i] * moving + phase_[i];
  Pose p;
  p.centre = home_[i] + cv::Point2d(amplitude_[i].x * std::sin(t), amplitude_[i].y * std::sin(0.7 * t + 1));
  p.heading_deg = 90 + (identity * 37 % 60 - 30) + 10 * std::sin(0.5 * t);
  if (config_.visits.empty() && identity == SceneConfig::kWalker) {
    p = visited({SceneConfig::kWalker, SceneConfig::kUnder, config_.overlap, VisitKind::kStepBack}, p, identity, f);
  }
  for (const Visit& v : config_.visits) {
    if (v.animal == identity) p = visited(v, p, identity, f);
  }
  const auto leave = [&](const FrameSpan& span) {  // through the bottom edge and back
    const double w = span_weight(span, f, 3);
    p.centre.y += w * (config_.frame_size.height + 200 * scale_ - p.centre.y);
  };
  if (identity == SceneConfig::kLeaver) leave(config_.vanish);
  for (const Leave& l : config_.leaves) {
    if (l.animal == identity) leave(l.span);
  }
  return p;
}

PenScene::Pose PenScene::visited(const Visit& v, const Pose& own, int identity, int f) const {
  const int length = v.span.last - v.span.first;
  const double ramp = v.ramp > 0 ? v.ramp : std::max(3, length / 3);
  const double middle = v.span.first + length / 2.0;
  Pose base = own;
  if (v.kind == VisitKind::kGoOn && f >= middle) {  // from the middle on it belongs to its new place
    const cv::Point2d from = home_[static_cast<std::size_t>(identity)], to = home_[static_cast<std::size_t>(v.target)];
    const cv::Point2d way = to - from;
    base.centre += to + way * (165 * scale_ / std::max(cv::norm(way), 1.0)) - from;
  }
  if (v.kind == VisitKind::kTurnAround && f >= middle) base.heading_deg += 180;
  const double w = span_weight(v.span, f, ramp);
  if (w == 0) return base;
  const Pose target = pose(v.target, f);
  Pose p;
  p.centre = base.centre * (1 - w) + (target.centre + v.offset * scale_) * w;
  p.heading_deg = base.heading_deg * (1 - w) + (target.heading_deg + 10 + (base.heading_deg - own.heading_deg)) * w;
  return p;
}

bool PenScene::split_at(int f) const {
  return config_.split.contains(f) ||
         std::any_of(config_.splits.begin(), config_.splits.end(), [f](const FrameSpan& s) { return s.contains(f); });
}

cv::Rect PenScene::beam() const {
  const cv::Point2d c = home_[SceneConfig::kSplitAnimal];
  const int half_height = std::max(2, cvRound(9 * scale_));
  return cv::Rect(cvRound(c.x - 150 * scale_), cvRound(c.y) - half_height, cvRound(300 * scale_), 2 * half_height) &
         cv::Rect(cv::Point(0, 0), config_.frame_size);
}

void PenScene::draw_shape(cv::Mat& canvas, int identity, int f, cv::Point offset, const cv::Scalar& value) const {
  const Pose p = pose(identity, f);
  const cv::Point2d d = direction(p.heading_deg);
  const cv::Point2d head = p.centre + d * ((kBodyHalfLength + kHeadHalfLength * 0.6) * scale_);
  const auto shift = [&](const cv::Point2d& q) { return cv::Point2f(static_cast<float>(q.x - offset.x), static_cast<float>(q.y - offset.y)); };
  cv::ellipse(canvas, cv::RotatedRect(shift(p.centre), cv::Size2f(2 * kBodyHalfLength * scale_, 2 * kBodyHalfWidth * scale_), static_cast<float>(p.heading_deg)), value, cv::FILLED);
  cv::ellipse(canvas, cv::RotatedRect(shift(head), cv::Size2f(2 * kHeadHalfLength * scale_, 2 * kHeadHalfWidth * scale_), static_cast<float>(p.heading_deg)), value, cv::FILLED);
}

cv::Mat PenScene::render(int f) const {
  cv::Mat frame = floor_.clone();
  for (int id = 0; id < kAnimals; ++id) {
    const int look = config_.look_alike && id == SceneConfig::kWalker ? SceneConfig::kUnder : id;
    const double v = 190 + 4 * look;
    draw_shape(frame, id, f, {}, cv::Scalar(v - 12, v - 6, v));
    // A dark marking of the animal's own along its back.
    const Pose p = pose(id, f);
    const cv::Point2d d = direction(p.heading_deg), n(-d.y, d.x);
    const cv::Point2d spot = p.centre + d * ((-90 + 20 * look) * scale_) + n * (((look % 3) - 1) * 22 * scale_);
    cv::ellipse(frame, cv::RotatedRect(cv::Point2f(spot), cv::Size2f(36 * scale_, 22 * scale_), static_cast<float>(p.heading_deg + 40 * look)),
                cv::Scalar(55, 55, 60), cv::FILLED);
  }
  if (split_at(f)) frame(beam()).setTo(cv::Scalar(35, 35, 38));
  return frame;
}

std::vector<AnimalTruth> PenScene::truth(int f) const {
  const cv::Rect whole(cv::Point(0, 0), config_.frame_size);
  std::vector<cv::Mat1b> shapes;
  for (int id = 0; id < kAnimals; ++id) {
    cv::Mat1b m = cv::Mat1b::zeros(config_.frame_size);
    draw_shape(m, id, f, {}, cv::Scalar(1));
    shapes.push_back(m);
  }
  std::vector<AnimalTruth> out;
  for (int id = 0; id < kAnimals; ++id) {
    cv::Mat1b visible = shapes[static_cast<std::size_t>(id)].clone();
    for (int later = id + 1; later < kAnimals; ++later) visible.setTo(0, shapes[static_cast<std::size_t>(later)]);
    if (split_at(f)) visible(beam() & whole).setTo(0);
    AnimalTruth t;
    t.identity = id;
    t.mask = Mask(visible);
    t.box = t.mask.box();
    out.push_back(std::move(t));
  }
  return out;
}

int PenScene::camera_offset() const {
  // At the default size the marker starts at column 1170 of the camera view,
  // so the right crop (from 50 px before it to column 2300) is this frame.
  return cvRound(1120 * scale_);
}

cv::Mat PenScene::camera_frame(int f) const {
  const cv::Size size(cvRound(2560 * scale_), config_.frame_size.height);
  cv::Mat camera(size, CV_8UC3, cv::Scalar(50, 52, 55));
  const int x = camera_offset();
  render(f).copyTo(camera(cv::Rect(x, 0, config_.frame_size.width, config_.frame_size.height) & cv::Rect(cv::Point(0, 0), size)));
  return camera;
}

void PenScene::write_pen_file(const std::string& path) const {
  nlohmann::json points = nlohmann::json::array();
  for (const cv::Point& p : pen_) points.push_back({p.x, p.y});
  const nlohmann::json doc = {{"shapes", {{{"label", "pen"}, {"points", points}}}},
                              {"imageWidth", config_.frame_size.width},
                              {"imageHeight", config_.frame_size.height}};
  write_file_atomically(path, doc.dump(2));
}

std::vector<std::string> PenScene::write_frames(const std::string& dir, int first, int count) const {
  fs::create_directories(dir);
  std::vector<std::string> paths;
  for (int k = 0; k < count; ++k) {
    char name[32];
    std::snprintf(name, sizeof(name), "%04d.jpg", k);
    paths.push_back((fs::path(dir) / name).string());
    write_image_file_atomically(paths.back(), render(first + k), AtomicWriteOptions{.sync = false});
  }
  return paths;
}

std::string PenScene::write_camera_video(const std::string& dir, int camera, const std::string& datetime) const {
  fs::create_directories(dir);
  const std::string path = (fs::path(dir) / ("Camera" + std::to_string(camera) + "_1_" + datetime + ".mp4")).string();
  const std::string partial = path + ".partial.mp4";
  const cv::Size size(cvRound(2560 * scale_), config_.frame_size.height);
  cv::VideoWriter writer(partial, cv::CAP_FFMPEG, cv::VideoWriter::fourcc('m', 'p', '4', 'v'), config_.fps, size);
  if (!writer.isOpened()) throw std::runtime_error("cannot open a video writer for '" + path + "'");
  for (int f = 0; f < config_.frames; ++f) writer.write(camera_frame(f));
  writer.release();
  std::error_code ec;
  fs::rename(partial, path, ec);
  if (ec) throw std::runtime_error("cannot rename '" + partial + "' to '" + path + "': " + ec.message());
  return path;
}

}  // namespace pelk::synth
