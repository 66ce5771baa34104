// What behaviour measures need of one frame, taken from its masks: each
// animal's centroid, area and length, and which pairs touch. The expensive
// part (reading and measuring masks) ends here; the measures run on these,
// so a shard can store them and a merge can replay them exactly.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "pelk_utils/behaviour/behaviour.hpp"

namespace pelk {

// Identity keys as small numbers, in order of first appearance.
class KeyTable {
 public:
  std::uint32_t id(const std::string& key);
  const std::string& name(std::uint32_t id) const { return names_[id]; }
  std::size_t size() const { return names_.size(); }

 private:
  std::vector<std::string> names_;
  std::unordered_map<std::string, std::uint32_t> ids_;
};

struct AnimalObservation {
  std::uint32_t key = 0;  // in the KeyTable the frame was observed with
  bool present = false;   // a mask with pixels
  double centroid_x = 0, centroid_y = 0, long_axis = 0;
  std::int64_t area = 0;
};

struct FrameObservation {
  std::optional<double> clock;  // camera seconds (recording start + offset), when the frame has a time
  double step = 0;              // one frame's seconds at its recording's rate, with a time
  bool clip_start = false;      // the first frame of a clip: whether it joins the frame before is decided on times
  cv::Size size;
  std::vector<AnimalObservation> animals;  // the clip's identities, in order
  std::vector<std::pair<std::uint16_t, std::uint16_t>> contacts;  // indices into `animals`, i < j
};

// Observes the frames of a stream: at a clip's first frame it measures all
// the clip's masks at once on every core, then hands the frames out in
// stream order with their times (the measures themselves stay in order).
class StreamObserver {
 public:
  explicit StreamObserver(const BehaviourOptions& options) : o_(options) {}
  // Returns the observation of `frame` (its time and rate from the options,
  // keys interned into `keys`). Frames must come as stream_clips gives them.
  FrameObservation observe(const StreamFrame& frame, KeyTable& keys);

 private:
  const BehaviourOptions& o_;
  std::optional<std::size_t> clip_;
  std::vector<FrameObservation> frames_;
  std::size_t next_ = 0;
};

// The measures over observations in recording order: frames are given their
// clock and bin here, so one run and a merge of shards count alike.
class BehaviourRun {
 public:
  explicit BehaviourRun(const BehaviourOptions& options);
  ~BehaviourRun();
  BehaviourRun(const BehaviourRun&) = delete;
  BehaviourRun& operator=(const BehaviourRun&) = delete;

  // Adds the next frame. `where` names it for errors (a frame without a
  // time after frames with one, a bin shorter than a frame).
  void frame(const FrameObservation& f, const KeyTable& keys, const std::function<std::string()>& where);
  // Returns the measures of every frame added; `notes` lead the result's
  // notes, `first_image` is the first frame's image (the paths plot's floor).
  BehaviourResult finish(std::vector<std::string> notes, const std::string& first_image);

 private:
  struct State;
  std::unique_ptr<State> s_;
};

}  // namespace pelk
