// Detection filtering: the detector's result for one frame turned into plain
// boxes, scores and labels of the wanted class, ordered top to bottom and
// left to right, which fixes the numbering Box0, Box1, ... downstream.
#pragma once

#include <string>
#include <vector>

#include "pelk_utils/models/detection_model.hpp"

namespace pelk {

struct FilteredDetections {
  std::vector<Box> boxes;           // x_min, y_min, x_max, y_max, frame pixels
  std::vector<float> scores;
  std::vector<std::string> labels;
};

// Returns the detections of `gdino_results[0]` stably sorted by (y_min,
// x_min) and restricted to those labelled exactly `target_label`; when no
// detection carries that label, all are kept. Throws std::out_of_range when
// `gdino_results` is empty and std::invalid_argument when the result's
// vectors differ in length.
FilteredDetections process_gdino_results(const std::vector<DetectionResult>& gdino_results,
                                         const std::string& target_label = "pig");

}  // namespace pelk
