// When a frame was recorded. A frame image under the tree `pelk extract`
// writes (<date>/Camera<N>_<n>_<YYYYMMDDhhmmss>/<start>min_to_<end>min/
// .../<NNNN>.jpg) knows its recording and its place in it; with the
// recording's frame rate that gives a wall-clock time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace pelk {

// Where an extracted frame lies in its recording.
struct ExtractedFrame {
  std::string video_name;     // "Camera62_1_20240405070000"
  std::string camera_number;  // "62"
  std::int64_t start_seconds; // the recording's start, seconds since 1970-01-01 00:00:00 (camera clock, no zone)
  double range_start_min = 0; // the range folder's start in minutes
  std::int64_t index = 0;     // NNNN of the image name: its place in the range
};

// Returns the recording and place of `image_path` when the path holds a
// "<video>/<start>min_to_<end>min/" pair of folders whose video name is a
// camera recording's, and the file name is digits; std::nullopt otherwise.
std::optional<ExtractedFrame> extracted_frame_of(const std::string& image_path);

// Returns the frame's number in its recording: the range's first frame
// round(start x 60 x floor(rate)) is the detection frame, not saved;
// NNNN.jpg is the frame after it plus NNNN (as extraction saves them).
std::int64_t recording_frame_of(const ExtractedFrame& frame, double rate);

// A frame's time on the camera clock: its recording's start (whole seconds
// since 1970) and the seconds into the recording, kept apart so that
// differences keep their sub-microsecond precision.
struct FrameTime {
  std::int64_t recording_start = 0;
  double offset = 0;
};

// Returns the frame's time: the recording's start plus its recording frame
// number divided by `rate`. Exact for a constant-rate recording; for a
// variable-rate one, off by the drift of its average rate.
FrameTime frame_time(const ExtractedFrame& frame, double rate);

// Returns the seconds from `from` to `to`.
double seconds_between(const FrameTime& from, const FrameTime& to);

// Returns `time` as "YYYY-MM-DDThh:mm:ss.mmm" (camera clock, no zone).
std::string iso_time(const FrameTime& time);

}  // namespace pelk
