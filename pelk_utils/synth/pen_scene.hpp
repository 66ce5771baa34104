// A synthetic overhead pen recording, for tests, benchmarks and the demo:
// a dark textured floor with a fence line (and its pen-polygon file), an
// orange marker strip, ten light animals (an ellipse body with a head and a
// dark marking of their own) moving smoothly, and scripted events: two
// animals lying over each other, one leaving the view, one cut in two by a
// beam. Every frame comes with its ground truth. Deterministic from a seed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "pelk_utils/core/box.hpp"
#include "pelk_utils/core/mask.hpp"

namespace pelk::synth {

// A half-open frame range [first, last).
struct FrameSpan {
  int first = 0, last = 0;
  bool contains(int f) const { return f >= first && f < last; }
};

// How a visiting animal comes to another and leaves it: back the way it
// came, back after turning around on the spot, or on past it to a new place
// beside it (a short span with no stay is a crossing).
enum class VisitKind { kStepBack, kTurnAround, kGoOn };

// One animal walking onto another and lying under it (identities are drawn
// in order, so the higher identity lies on top) for the middle of `span`,
// with `ramp` frames of walking on each side (0: a third of the span).
struct Visit {
  int animal = 1, target = 2;
  FrameSpan span;
  VisitKind kind = VisitKind::kStepBack;
  int ramp = 0;
  cv::Point2d offset{15, 30};  // where on the target it lies, in reference pixels
};

// An animal standing still (its walk and turning stopped) over `span`.
struct Pause {
  int animal = 0;
  FrameSpan span;
};

// An animal leaving the view through the bottom edge over `span` and
// coming back.
struct Leave {
  int animal = 0;
  FrameSpan span;
};

struct SceneConfig {
  std::uint64_t seed = 1;
  // Size of the cropped frames (what frame extraction writes). The camera
  // frame is 2560 x 1440 at this default; other sizes scale the scene.
  cv::Size frame_size{1180, 1440};
  int frames = 200;
  double fps = 25;
  FrameSpan overlap{26, 50};  // the walker walks to its neighbour, lies under it, walks back
  FrameSpan vanish{55, 63};   // the leaver leaves the view through the bottom edge
  FrameSpan split{70, 86};    // a beam lies across the split animal
  // The animals of the events (walker and kUnder are neighbours on the
  // layout with nothing between; identities are drawn in order, so kUnder
  // lies on top of the walker).
  static constexpr int kWalker = 1, kUnder = 2, kLeaver = 7, kSplitAnimal = 5;
  // Visits in place of the walker's default one (over `overlap`), for
  // scenes of other kinds; empty keeps the default.
  std::vector<Visit> visits;
  bool look_alike = false;  // the walker is drawn as kUnder is: same shade, same marking
  std::vector<Pause> pauses;  // animals that stand still a while (none by default)
  double sway = 1;            // how far the animals walk about their homes (x the default 10..25 px)
  // Where the animals live: animal i at home place arrangement[i] (a
  // permutation of 0..9; empty: each at its own). Another arrangement is the
  // same pen after the animals moved about (a later recording).
  std::vector<int> arrangement;
  std::vector<Leave> leaves;       // more animals leaving the view, besides the leaver's `vanish`
  std::vector<FrameSpan> splits;   // more spans of the beam, besides `split`
};

// One animal in one frame. Identities count from 0 (box key "Box<id>").
struct AnimalTruth {
  int identity = 0;
  Mask mask;  // the visible pixels (hidden parts and parts outside the frame removed)
  Box box;    // inclusive pixel bounds of `mask`; (0, 0, 0, 0) when not visible
};

class PenScene {
 public:
  explicit PenScene(SceneConfig config = {});

  const SceneConfig& config() const { return config_; }
  // Returns the pen outline in cropped-frame pixels (closed implicitly).
  const std::vector<cv::Point>& pen() const { return pen_; }
  // Returns the orange marker strip in cropped-frame pixels.
  cv::Rect marker() const { return marker_; }

  // Renders cropped frame `f` (CV_8UC3 BGR, frame_size).
  cv::Mat render(int f) const;
  // Returns the ground truth of frame `f`: ten entries, identity order.
  std::vector<AnimalTruth> truth(int f) const;
  // Returns where animal `identity` is in frame `f`: the centre of its body
  // (cropped-frame pixels), the point its walk moves.
  cv::Point2d centre(int identity, int f) const { return pose(identity, f).centre; }
  // Renders the camera view of frame `f`: 2560 x 1440 (scaled with
  // frame_size) with the cropped frame at the place the right crop of the
  // orange marker cuts out again.
  cv::Mat camera_frame(int f) const;
  // Returns the column where the cropped frame starts in the camera view.
  int camera_offset() const;

  // Writes the pen-polygon file ({"shapes": [{"points": ...}]}) to `path`.
  void write_pen_file(const std::string& path) const;
  // Writes frames [first, first + count) as dir/0000.jpg, ... and returns
  // their paths.
  std::vector<std::string> write_frames(const std::string& dir, int first, int count) const;
  // Writes the whole recording as dir/Camera<camera>_1_<datetime>.mp4
  // (datetime as YYYYMMDDhhmmss) and returns its path. Throws
  // std::runtime_error when no encoder can write it.
  std::string write_camera_video(const std::string& dir, int camera = 62,
                                 const std::string& datetime = "20240405070000") const;

 private:
  struct Pose {
    cv::Point2d centre;
    double heading_deg = 0;
  };
  Pose pose(int identity, int f) const;
  Pose visited(const Visit& v, const Pose& own, int identity, int f) const;
  // Draws the animal's silhouette (1) into `canvas` at `offset`.
  void draw_shape(cv::Mat& canvas, int identity, int f, cv::Point offset, const cv::Scalar& value) const;
  cv::Rect beam() const;
  bool split_at(int f) const;

  SceneConfig config_;
  double scale_ = 1;
  cv::Mat floor_;
  std::vector<cv::Point> pen_;
  cv::Rect marker_;
  std::vector<cv::Point2d> home_, amplitude_;
  std::vector<double> phase_, speed_;
};

}  // namespace pelk::synth
