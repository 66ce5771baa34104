#include "model_steps.hpp"

#include <stdexcept>

#include "pelk_utils/models/classical_detector.hpp"
#include "pelk_utils/models/classical_segmenter.hpp"
#include "pelk_utils/models/torchscript_models.hpp"

namespace pelk::cli {

Models load_models(const ModelOptions& options) {
  Models m;
  if (options.detector.empty()) {
    auto builtin = std::make_unique<ClassicalDetector>();
    m.grounding = builtin.get();
    m.processor = builtin.get();
    m.processor_owner = std::move(builtin);
  } else {
    auto loaded = std::make_unique<TorchScriptDetector>(options.detector, options.device);
    m.grounding = loaded.get();
    m.processor = loaded.get();
    m.processor_owner = std::move(loaded);
  }
  if (options.segmenter_encoder.empty() != options.segmenter_decoder.empty()) {
    throw std::invalid_argument("--segmenter-encoder and --segmenter-decoder go together");
  }
  if (options.segmenter_encoder.empty()) {
    m.predictor = std::make_unique<ClassicalSegmenter>();
  } else {
    m.predictor = std::make_unique<TorchScriptSegmenter>(options.segmenter_encoder, options.segmenter_decoder,
                                                         options.device);
  }
  return m;
}

OverlapResolution resolve_overlaps(const std::vector<ReportRow>& rows, const ClipAnnotationData& clip,
                                   Models& models, int n_consecutive) {
  OverlapResolution r;
  quietly([&] { r = process_overlap_frames(rows, clip, *models.predictor, n_consecutive); });
  return r;
}

std::vector<SwapDecision> decide_episodes(const ClipAnnotationData& clip, Models& models) {
  std::vector<SwapDecision> decisions;
  quietly([&] { decisions = decide_identity_swaps(clip, *models.predictor); });
  return decisions;
}

}  // namespace pelk::cli
